/* Every public header compiles as C, and the shared libraries link without Python. */
#include <stdio.h>
#include <string.h>

#include "qn_api.h"
#include "wfm_draw.h"
#include "wfm_spec.h"
#include "wfm_keywords.h"
#include "wfm_synth_bridge.h"
#include "wfm_synth_core.h"
#include "write_blue_header.h"

int main(void) {
    int failures = 0;
    if (strcmp(TYPE_NAMES[WFM_TYPE_DSSS], "dsss") != 0) failures++;
    if (wfm_kw_elem_size('D') != 8) failures++;
    {
        SegmentSpec seg = {0};
        seg.num_samples = 5;
        seg.repeats = 3;
        ComposeSpan spans[3];
        if (wfm_compose_spans(&seg, 1, spans, 3) != 3 || spans[2].start != 10) failures++;
        if (wfm_draw_samples(1, 0, 0, 0, WFM_RANGE_NUM_SAMPLES, 7, 7) != 7) failures++;
    }
    if (write_blue_header(NULL, 0, 0, 1, 0, 1.0, 0.0, 512.0, 0.0) != -1) failures++;
    printf("%d passed, %d failed\n", failures == 0, failures);
    return failures != 0;
}
