#include "common/export.hpp"
#include "plate/plate.hpp"

MERIDOX_ENTRY void main1() { meridox::plate::run(); }
