#include "../common/draw_tests.inc"
