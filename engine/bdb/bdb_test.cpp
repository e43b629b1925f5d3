#include <gtest/gtest.h>
TEST(P, x) {}
