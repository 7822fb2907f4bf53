// Reading the sign-in file without the side effects of TStore::Load (nothing is set aside),
// for questions asked before the file's owner loads it.
#pragma once

#include <string>

#include "common/oauth2/store.h"

namespace oauth2 {

// Whether the file in dataRoot opens and holds an entry with that key.
bool StoredEntryExists(const std::string &dataRoot, TPurpose purpose, const std::string &userId,
                       const std::string &server);

// How many entries the file in dataRoot holds when it is sealed with a key this account's key
// file does not open; 0 when it opens, is missing or is damaged.
int LockedEntryCount(const std::string &dataRoot);

} // namespace oauth2
