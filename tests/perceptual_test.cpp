#include <gtest/gtest.h>

#include "compare/perceptual.h"

namespace diffmark {
namespace {

TEST(Perceptual, Placeholder) { EXPECT_EQ(PerceptualLimit(Metric::Oklab, 0.1), 0.1); }

}  // namespace
}  // namespace diffmark
