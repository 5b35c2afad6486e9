#include "common/export.hpp"
#include "stage/single_stage.hpp"

MERIDOX_ENTRY void main2_2() { meridox::stage::single::run(); }
