#include "common/export.hpp"
#include "stage/stage.hpp"

MERIDOX_ENTRY void main2_1() { meridox::stage::run_nut_stage(); }
