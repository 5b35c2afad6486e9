#include "common/export.hpp"
#include "stage/stage.hpp"

MERIDOX_ENTRY void main2_3() { meridox::stage::run_stage_base(); }
