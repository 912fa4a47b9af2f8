#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace brevin {

/// Makes a self-signed certificate (ECDSA P-256, valid 10 years, alternative names `hostName`
/// and `address`, either may be empty) and writes its key (mode 0600) and the certificate as
/// PEM, each durably replacing what was there. False, with `error`, when either cannot be
/// written.
bool GenerateSelfSigned(const std::filesystem::path& certificate, const std::filesystem::path& key,
                        std::string_view hostName, std::string_view address, std::string& error);

} // namespace brevin
