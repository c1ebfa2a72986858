#include <gtest/gtest.h>
#include "platform/software/software_device.h"
