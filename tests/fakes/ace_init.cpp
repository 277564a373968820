// On Windows ACE keeps its object manager where the program's main starts
// it (ACE::init, as wagent's main does); gtest's main does not, so each test
// program starts ACE before its first test. Without it, ACE's threads fail
// on their first lock.
#include <ace/Init_ACE.h>
#include <gtest/gtest.h>

namespace {

class Ace_Environment : public ::testing::Environment {
 public:
  void SetUp() override { ACE::init(); }
  void TearDown() override { ACE::fini(); }
};

[[maybe_unused]] ::testing::Environment* const ace =
    ::testing::AddGlobalTestEnvironment(new Ace_Environment);

}  // namespace
