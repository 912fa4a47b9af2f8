#pragma once

// The documents mail clients read to set themselves up, generated from the server's live
// settings: Thunderbird's autoconfig XML, Outlook's Autodiscover (POX) XML, an Apple
// configuration profile, and a page for people. Pure text in, text out: the HTTP side and
// `brevin client-config` print the same bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevin {

/// How a port is encrypted, as clients choose it.
enum class PortEncryption : std::uint8_t {
    Tls,      ///< from the first byte ("SSL" to most clients)
    StartTls, ///< the protocol's own command upgrades it
    None,     ///< the server runs without a certificate
};

enum class MailProtocol : std::uint8_t { Imap, Pop3, Smtp };

struct ClientPort {
    MailProtocol protocol = MailProtocol::Imap;
    std::uint16_t port = 0;
    PortEncryption encryption = PortEncryption::Tls;
};

/// What a client must be told, as the running server (or its options) has it.
struct ClientSettings {
    /// The name (or address) clients connect to, as the certificate carries it.
    std::string host;
    /// The host's name, for what must not change with the way a client came: the mail address
    /// a profile's account gets, and the profile's identifiers.
    std::string name;
    /// Every port a client may use, best first within each protocol (implicit TLS before
    /// STARTTLS); SMTP's are the submission ports, which take a login.
    std::vector<ClientPort> ports;
    /// The SHA-256 fingerprint of the server's certificate; empty without encryption.
    std::string fingerprint;
    /// The certificate a device trusts (PEM); empty when there is none to offer.
    std::string caCertificatePem;
    /// Where the settings page is served ("http://host:80/"); empty when it is not.
    std::string pageAddress;

    /// The ports of one protocol, best first.
    [[nodiscard]] std::vector<ClientPort> PortsOf(MailProtocol protocol) const;
};

/// "IMAP", "POP3", "SMTP".
std::string_view ProtocolName(MailProtocol protocol);
/// "SSL/TLS", "STARTTLS", "none", as people read it.
std::string_view EncryptionName(PortEncryption encryption);

/// The login name that goes with an email address: users log in by their name, which is the
/// address's local part. Nothing for text that is not an address.
std::optional<std::string> LoginNameOf(std::string_view emailAddress);

/// Thunderbird's config-v1.1.xml. Without an address, Thunderbird's placeholders
/// (%EMAILLOCALPART%, %EMAILDOMAIN%) stand where the address's parts go, as Thunderbird for
/// Android asks without one.
std::string ThunderbirdConfig(const ClientSettings& settings,
                              std::optional<std::string_view> emailAddress);

/// The EMailAddress of an Autodiscover (POX) request; nothing when the body is not such a
/// request.
std::optional<std::string> AutodiscoverAddress(std::string_view requestBody);
/// The Autodiscover (POX) response for `emailAddress`.
std::string AutodiscoverResponse(const ClientSettings& settings, std::string_view emailAddress);

/// An Apple configuration profile: the certificate to trust and `user`'s mail account, the
/// password left for the device to ask.
std::string AppleProfile(const ClientSettings& settings, std::string_view user);

/// The settings page (HTML).
std::string SettingsPage(const ClientSettings& settings);

/// `text` with &, <, >, " and ' escaped for XML and HTML.
std::string XmlEscape(std::string_view text);

} // namespace brevin
