/* Every public header compiles as C, and the shared libraries link without Python. */
#include <stdio.h>
#include <string.h>

#include "qn_api.h"
#include "wfm_spec.h"
#include "wfm_keywords.h"

int main(void) {
    int failures = 0;
    if (strcmp(TYPE_NAMES[WFM_TYPE_DSSS], "dsss") != 0) failures++;
    if (wfm_kw_elem_size('D') != 8) failures++;
    printf("%d passed, %d failed\n", failures == 0, failures);
    return failures != 0;
}
