// The bare stub: builder mode.
#include "harness.h"

namespace e2e {
namespace {

class StubTest : public E2eTest {};

TEST_F(StubTest, BareStubHasNoArchive) {
  EXPECT_RUN(run_in_dir(stub_path(), {}), "", "This installer does not contain an embedded archive\n", 255);
}

TEST_F(StubTest, PackageIsStubHeaderAndTar) {
  const std::string tar = make_tar("payload.tar", {{"install.sh", "exit 0\n"}});
  const std::string package = make_package("setup.run", "payload.tar");
  const std::string stub = read_file(stub_path()), tar_bytes = read_file(tar), bytes = read_file(package);
  ASSERT_EQ(bytes.size(), stub.size() + 24 + tar_bytes.size());
  EXPECT_EQ(bytes.substr(0, stub.size()), stub);
  std::string size(8, '\0');
  for (int i = 0; i < 8; ++i) size[i] = static_cast<char>((tar_bytes.size() >> (8 * i)) & 0xFF);
  EXPECT_EQ(bytes.substr(stub.size(), 8), size);
  EXPECT_EQ(bytes.substr(stub.size() + 8, 16), unhex(md5_hex(tar_bytes)));
  EXPECT_EQ(bytes.substr(stub.size() + 24), tar_bytes);
  EXPECT_RUN(run_in_dir("setup.run", {"--check"}), "Verifying archive integrity... Succeed.\n", "", 0);
}

}  // namespace
}  // namespace e2e
