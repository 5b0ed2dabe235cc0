#include "oppb_test_util.h"
