#include "app/build_info.h"

namespace nimbo::build_info {

const char* version() { return NIMBO_BUILD_VERSION; }
const char* buildNumber() { return NIMBO_BUILD_NUMBER; }
const char* updateFeedURL() { return NIMBO_UPDATE_FEED_URL; }
const char* updatePublicKey() { return NIMBO_UPDATE_PUBLIC_KEY; }

}  // namespace nimbo::build_info
