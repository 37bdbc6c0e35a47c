#include "platform/inet.h"

#include <gtest/gtest.h>

TEST(Inet, Placeholder) {}
