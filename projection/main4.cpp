#include "common/export.hpp"
#include "projection/projection.hpp"

MERIDOX_ENTRY void main4() { meridox::projection::run(); }
