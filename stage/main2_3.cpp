#include "common/export.hpp"
#include "stage/stage_base.hpp"

MERIDOX_ENTRY void main2_3() { meridox::stage::base::run(); }
