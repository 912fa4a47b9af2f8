#pragma once

#include "autoconfig/client_documents.h"
#include "shell/options.h"

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace brevin {

struct Listeners;

/// The certificate a device is asked to trust, beside the profile: the office CA when there is
/// one, else the certificate made at the first start (which is its own issuer). Empty when the
/// administrator gave a certificate and no CA exists: that one is trusted or not on its own.
std::filesystem::path TrustedCertificatePath(const ServerOptions& options,
                                             const std::filesystem::path& directory);

/// The name clients connect to: the one the server's certificate carries (this host's name),
/// else its address.
std::string ClientHostName(std::string_view address);

/// What clients are told, from the options; with `listeners`, only the ports that listen (with
/// the port each really has). `encrypted`: the server has a certificate.
ClientSettings MakeClientSettings(const ServerOptions& options, std::string host, bool encrypted,
                                  const Listeners* listeners = nullptr);

/// `brevin client-config USER [--format thunderbird|autodiscover|mobileconfig] [options]`:
/// prints the document a client would fetch, from the settings the server would run with.
/// `args` are the words after "client-config". Returns the exit status.
int RunClientConfigCommand(const std::vector<std::string>& args,
                           const std::filesystem::path& profilePath, std::ostream& out,
                           std::ostream& err);

} // namespace brevin
