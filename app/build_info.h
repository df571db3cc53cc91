#pragma once
// What this build is: its version, its build number and where and how it
// looks for updates. Each build of the program links exactly one of these,
// compiled with its own values (see the top-level CMakeLists.txt), so the
// rest of the code never needs rebuilding when they change.
namespace nimbo::build_info {

const char* version();          // the version people see, "0.1.0"
const char* buildNumber();      // increases with every release, "1"
const char* updateFeedURL();    // where the update feed lives
const char* updatePublicKey();  // base64 of the raw 32-byte Ed25519 key updates are signed with

}  // namespace nimbo::build_info
