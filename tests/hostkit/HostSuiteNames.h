// The names and versions of the suites that every test host serves, written
// out here once for all of them (the kit's suites, the fuzz host, pmhost and the
// Windows test programs). They are the host's statement, kept apart from the
// module's own list on purpose: a name the module mistypes is then refused
// by every harness instead of being served under the same mistake.
#pragma once

namespace hostkit {

inline constexpr char kRegistrySuiteName[] = "61e608b0-40fd-11d1-8da3-00c04fd5f7ee";
inline constexpr int kRegistrySuiteVersion = 1;
inline constexpr char kDescriptorSuiteName[] = "df135115-c769-11d0-8079-00c04fd7ec47";
inline constexpr int kDescriptorSuiteVersion = 3;
inline constexpr char kFileListSuiteName[] = "Photoshop GetFileList Suite for Plug-ins";
inline constexpr int kFileListSuiteVersion = 4;

}  // namespace hostkit
