/* Renders a scene with kettara and writes it with tolvane as a SigMF capture whose
 * metadata annotates every burst of the scene.
 *
 *   render_sigmf SCENE.json OUT.sigmf-data
 *
 * One pass of the scene is written (a repeating scene is not played again). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <quennel/wfm_compose.h>
#include <quennel/wfm_draw.h>
#include <quennel/wfm_json.h>
#include <quennel/wfm_writer_core.h>

enum { BLOCK = 4096 };

/* Samples in one pass of the scene: where its last instance ends. */
static uint64_t pass_length(const SegmentSpec *segments, uint64_t n) {
    const uint64_t count = wfm_compose_spans(segments, n, NULL, 0);
    ComposeSpan *spans = calloc(count ? count : 1, sizeof *spans);
    if (!spans) return 0;
    wfm_compose_spans(segments, n, spans, count);
    uint64_t end = 0;
    if (count > 0) {
        const ComposeSpan *last = &spans[count - 1];
        end = last->start + last->delay + last->num + last->off;
    }
    free(spans);
    return end;
}

/* Replaces the writer's plain sidecar by one that also annotates the scene's bursts. */
static int write_annotated_meta(const char *data_path, const SegmentSpec *segments, uint64_t n,
                                double fs) {
    const size_t stem = strlen(data_path) - strlen(".sigmf-data");
    char *meta_path = malloc(stem + sizeof ".sigmf-meta");
    char *text = wfm_sigmf_meta_json(TOLVANE_STYPE_CF32, 0, segments, n, fs, 0.0, 0.0);
    int status = -1;
    if (meta_path && text) {
        memcpy(meta_path, data_path, stem);
        strcpy(meta_path + stem, ".sigmf-meta");
        FILE *file = fopen(meta_path, "w");
        if (file) {
            const int written = fputs(text, file) >= 0;
            status = (fclose(file) == 0 && written) ? 0 : -1;
        }
    }
    free(text);
    free(meta_path);
    return status;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s SCENE.json OUT.sigmf-data\n", argv[0]);
        return 2;
    }
    Composer *composer = wfm_compose_from_file(argv[1]);
    if (!composer) {
        fprintf(stderr, "%s: not a scene\n", argv[1]);
        return 1;
    }
    uint64_t n_segments = 0;
    const SegmentSpec *segments = wfm_compose_segments(composer, &n_segments, NULL, NULL);
    const uint64_t total = pass_length(segments, n_segments);
    const double fs = segments[0].fs;

    Writer *writer =
        wfm_writer_create(argv[2], TOLVANE_FTYPE_SIGMF, TOLVANE_STYPE_CF32, 0, total, 0, fs, 0.0, 0.0, 0.0);
    if (!writer) {
        fprintf(stderr, "%s: cannot create the capture (the name must end in .sigmf-data)\n", argv[2]);
        wfm_compose_destroy(composer);
        return 1;
    }
    static cf32 block[BLOCK];
    uint64_t written = 0;
    while (written < total) {
        const uint64_t want = total - written < BLOCK ? total - written : BLOCK;
        const uint64_t got = wfm_compose_execute(composer, block, want);
        if (wfm_writer_write(writer, block, got) != got || got < want) break;
        written += got;
    }
    int status = wfm_writer_close(writer) == QN_OK && written == total ? 0 : 1;
    if (status == 0 && write_annotated_meta(argv[2], segments, n_segments, fs) != 0) status = 1;
    if (status == 0) {
        printf("%s: %llu samples at %g samples/s\n", argv[2], (unsigned long long)written, fs);
    } else {
        fprintf(stderr, "%s: writing the capture failed\n", argv[2]);
    }
    wfm_compose_destroy(composer);
    return status;
}
