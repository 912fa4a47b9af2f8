#pragma once

#include <string>

namespace brevin {

/// This machine's name as gethostname(2) gives it; empty when it has none.
std::string HostName();

/// The host's official name (its canonical name when the resolver knows one, else `HostName`),
/// looked up once: the first call may wait for the resolver, so start-up makes it.
const std::string& OfficialHostName();

} // namespace brevin
