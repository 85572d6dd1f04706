#include "../common/parallel_tests.inc"
