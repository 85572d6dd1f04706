// Reading raw captures: headerless wire samples of the type and byte order the caller names.
#include "container_readers.hpp"
#include "tolvane_core.hpp"

namespace tolvane {

void open_raw(Reader &r, FilePtr file) {
    r.file = std::move(file);
    r.file_type = TOLVANE_FTYPE_RAW;
    r.num_samples = samples_in_file(r);
    compute_trailing(r);
}

}  // namespace tolvane
