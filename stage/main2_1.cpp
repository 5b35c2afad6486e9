#include "common/export.hpp"
#include "stage/nut_stage.hpp"

MERIDOX_ENTRY void main2_1() { meridox::stage::nut::run(); }
