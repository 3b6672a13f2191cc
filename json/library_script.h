#pragma once
// The script every JsonObject engine starts with: the member counter `get__count`, a JSON
// fallback for engines without a native one, and the two prototype additions `toJSONString`
// and `parseJSON`. The additions are plain assignments and therefore enumerable: every for-in
// loop over an object or array visits two names more than its own members, which is why
// get__count starts at -2 and listMembers strips the two names.
namespace tunova {

extern const char* const kJsonLibraryScript;

} // namespace tunova
