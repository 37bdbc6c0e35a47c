#include "search/text.h"

#include <gtest/gtest.h>

TEST(Text, Placeholder) {}
