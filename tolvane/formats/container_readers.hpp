// The containers a capture can come in, as the reader opens them. Detection decides which
// container a capture is; each container's reader then fills in the Reader from its file.
#pragma once

#include <string>

#include "tolvane_core.hpp"

namespace tolvane {

// Decides the container of the capture at path (by name where that alone says it, else
// by content) and opens it with that container's reader; false when it cannot be read.
bool open_reader(Reader &r, const std::string &path);

// Each container's reader. file stands at the first byte of the capture.
void open_raw(Reader &r, FilePtr file);
void open_csv(Reader &r, FilePtr file);
// An attached capture whose header control block is hcb, or the header of a detached one.
// A stream (a pipe) is refused with ESPIPE when the capture needs seeking.
bool open_blue(Reader &r, const std::string &path, FilePtr file, const unsigned char *hcb);
// A ".det" payload whose header file sits beside it.
bool open_detached_blue(Reader &r, const std::string &path);
// A ".sigmf-data" file with its ".sigmf-meta" document beside it.
bool open_sigmf(Reader &r, const std::string &path);

// CSV rows of the whole capture, counted once and kept.
uint64_t count_csv_rows(Reader &r);

// Bytes of a partial last sample, once the payload file is open at payload_start.
void compute_trailing(Reader &r);
// Whole samples from payload_start to the end of the file.
uint64_t samples_in_file(Reader &r);

}  // namespace tolvane
