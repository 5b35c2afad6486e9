#include "common/export.hpp"
#include "stage/stage.hpp"

MERIDOX_ENTRY void main2_2() { meridox::stage::run_single_stage(); }
