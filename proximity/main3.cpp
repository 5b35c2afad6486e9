#include "common/export.hpp"
#include "proximity/proximity.hpp"

MERIDOX_ENTRY void main3() { meridox::proximity::run(); }
