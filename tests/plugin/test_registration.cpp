// Loading the plug-in the way a host does registers exactly its version record and node types.
#include "nimbusdale/Version.h"
#include "test_support.h"

namespace {

using namespace nimbusdale_test;

const std::vector<std::string> kNodeTypes = {"MultiRobustPCA", "MedianIntegrator",
                                             "PoissonGammaIntegrator", "SparseMaskIntegrator"};

TEST(Registration, LoadRegistersVersionThenFactoriesInOrder) {
  ASSERT_TRUE(FD::registry::events().empty()) << "nothing registers before the plug-in loads";
  loadPlugin();
  FD::Toolbox::load(NIMBUSDALE_PLUGIN_PATH);  // a second load must not register again

  auto versions = FD::registry::moduleVersions();
  ASSERT_EQ(versions.size(), 1u);
  EXPECT_EQ(versions[0].module, "NIMBUSDALE");
  EXPECT_EQ(versions[0].build, "8895");
  EXPECT_EQ(versions[0].version, NIMBUSDALE_VERSION);

  auto events = FD::registry::events();
  ASSERT_EQ(events.size(), 1 + 2 * kNodeTypes.size());
  EXPECT_EQ(events[0].kind, FD::RegistrationEvent::ModuleVersion);
  for (size_t i = 0; i < kNodeTypes.size(); ++i) {
    EXPECT_EQ(events[1 + 2 * i].kind, FD::RegistrationEvent::Factory);
    EXPECT_EQ(events[1 + 2 * i].name, kNodeTypes[i]);
    EXPECT_EQ(events[2 + 2 * i].kind, FD::RegistrationEvent::Icon);
    EXPECT_EQ(events[2 + 2 * i].name, kNodeTypes[i]);
  }

  auto types = FD::registry::nodeTypes();
  ASSERT_EQ(types.size(), kNodeTypes.size());
  for (size_t i = 0; i < types.size(); ++i) {
    EXPECT_EQ(types[i].name, kNodeTypes[i]);
    EXPECT_EQ(types[i].icon, nullptr);
    ASSERT_NE(types[i].factory, nullptr);
    EXPECT_EQ(types[i].factory->getName(), kNodeTypes[i]);
  }
}

TEST(Registration, TheAudioLibraryAddsItsFourTypesAndNoVersionRecord) {
  loadPlugin();
  const size_t before = FD::registry::events().size();
  loadAudioPlugin();
  const std::vector<std::string> audioTypes = {"AudioFileSource", "MultiSTFT",
                                               "OverlapAddSynthesis", "AudioFileSink"};
  auto events = FD::registry::events();
  ASSERT_EQ(events.size(), before + 2 * audioTypes.size());
  for (size_t i = 0; i < audioTypes.size(); ++i)
    EXPECT_EQ(events[before + 2 * i].name, audioTypes[i]);
  EXPECT_EQ(FD::registry::moduleVersions().size(), 1u);
}

}  // namespace
