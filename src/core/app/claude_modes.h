#pragma once
// The Claude diagnostic modes of the command line.
#include <iosfwd>

namespace qd {

struct CommandLineOptions;

namespace ClaudeModes {

// "--bundletest": where the bridge script resource was found; 0 when found, else 1.
int runBundleTest(const CommandLineOptions& options, std::ostream& out);
// "--install-claude-bridge": installs the bridge and prints the outcome and state; 0.
int runInstallClaudeBridge(const CommandLineOptions& options, std::ostream& out);
// "--oauthtest": one Claude quota fetch, printed; waits at most 20 seconds; 0.
int runOAuthTest(const CommandLineOptions& options, std::ostream& out);

}  // namespace ClaudeModes
}  // namespace qd
