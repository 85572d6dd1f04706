// A capture reader owned for the length of a test.
#pragma once

#include <memory>

#include "tolvane_core.h"

struct ReaderDeleter {
    void operator()(Reader *r) const { tolvane_destroy(r); }
};
using ReaderPtr = std::unique_ptr<Reader, ReaderDeleter>;
