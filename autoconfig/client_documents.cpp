#include "autoconfig/client_documents.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <expat.h>

namespace brevin {

std::vector<ClientPort> ClientSettings::PortsOf(MailProtocol protocol) const {
    std::vector<ClientPort> found;
    std::ranges::copy_if(ports, std::back_inserter(found),
                         [protocol](const ClientPort& port) { return port.protocol == protocol; });
    return found;
}

std::string_view ProtocolName(MailProtocol protocol) {
    switch (protocol) {
    case MailProtocol::Imap:
        return "IMAP";
    case MailProtocol::Pop3:
        return "POP3";
    case MailProtocol::Smtp:
        return "SMTP";
    }
    return "";
}

std::string_view EncryptionName(PortEncryption encryption) {
    switch (encryption) {
    case PortEncryption::Tls:
        return "SSL/TLS";
    case PortEncryption::StartTls:
        return "STARTTLS";
    case PortEncryption::None:
        return "none";
    }
    return "";
}

std::string XmlEscape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&#39;";
            break;
        default:
            // XML 1.0 has no way to carry other control characters at all.
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') {
                escaped += c;
            }
        }
    }
    return escaped;
}

std::optional<std::string> LoginNameOf(std::string_view emailAddress) {
    const std::size_t at = emailAddress.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == emailAddress.size() ||
        emailAddress.size() > 320) {
        return std::nullopt;
    }
    const std::string_view local = emailAddress.substr(0, at);
    if (!std::ranges::all_of(emailAddress, [](char c) {
            return static_cast<unsigned char>(c) > 0x20 && c != 0x7F;
        })) {
        return std::nullopt;
    }
    return std::string(local);
}

namespace {

std::string_view DomainOf(std::string_view emailAddress) {
    return emailAddress.substr(emailAddress.rfind('@') + 1);
}

/// Thunderbird's words for an encryption.
std::string_view SocketType(PortEncryption encryption) {
    switch (encryption) {
    case PortEncryption::Tls:
        return "SSL";
    case PortEncryption::StartTls:
        return "STARTTLS";
    case PortEncryption::None:
        return "plain";
    }
    return "plain";
}

void AppendServer(std::string& xml, std::string_view element, std::string_view type,
                  const ClientSettings& settings, const ClientPort& port,
                  std::string_view username) {
    xml += "    <";
    xml += element;
    xml += " type=\"";
    xml += type;
    xml += "\">\n      <hostname>" + XmlEscape(settings.host) + "</hostname>\n      <port>" +
           std::to_string(port.port) + "</port>\n      <socketType>";
    xml += SocketType(port.encryption);
    xml += "</socketType>\n      <authentication>password-cleartext</authentication>\n"
           "      <username>" +
           XmlEscape(username) + "</username>\n    </";
    xml += element;
    xml += ">\n";
}

} // namespace

std::string ThunderbirdConfig(const ClientSettings& settings,
                              std::optional<std::string_view> emailAddress) {
    std::optional<std::string> login;
    if (emailAddress) {
        login = LoginNameOf(*emailAddress);
    }
    const std::string domain =
        login ? XmlEscape(DomainOf(*emailAddress)) : std::string("%EMAILDOMAIN%");
    const std::string username = login ? *login : std::string("%EMAILLOCALPART%");
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<clientConfig version=\"1.1\">\n"
                      "  <emailProvider id=\"" +
                      domain + "\">\n    <domain>" + domain +
                      "</domain>\n    <displayName>Brevin mail on " + XmlEscape(settings.host) +
                      "</displayName>\n    <displayShortName>Brevin</displayShortName>\n";
    // Thunderbird tries the incoming servers in this order: IMAP first, then POP3.
    for (const MailProtocol protocol : {MailProtocol::Imap, MailProtocol::Pop3}) {
        for (const ClientPort& port : settings.PortsOf(protocol)) {
            AppendServer(xml, "incomingServer", protocol == MailProtocol::Imap ? "imap" : "pop3",
                         settings, port, username);
        }
    }
    for (const ClientPort& port : settings.PortsOf(MailProtocol::Smtp)) {
        AppendServer(xml, "outgoingServer", "smtp", settings, port, username);
    }
    xml += "  </emailProvider>\n</clientConfig>\n";
    return xml;
}

namespace {

// Collects the text of Autodiscover/Request/EMailAddress, whatever the namespace, and stops at
// anything that could make a small body expensive: a document type (entities), or depth.
struct AutodiscoverReader {
    XML_Parser parser = nullptr;
    std::vector<std::string> path;
    std::string address;
    bool found = false;
    bool refused = false;

    static std::string_view LocalName(const XML_Char* name) {
        const std::string_view full(name);
        const std::size_t separator = full.rfind('\x01');
        return separator == std::string_view::npos ? full : full.substr(separator + 1);
    }
    [[nodiscard]] bool InAddress() const {
        return path.size() == 3 && path[0] == "Autodiscover" && path[1] == "Request" &&
               path[2] == "EMailAddress";
    }
    void Stop() {
        refused = true;
        XML_StopParser(parser, XML_FALSE);
    }
};

void OnStart(void* data, const XML_Char* name, const XML_Char** /*attributes*/) {
    auto& reader = *static_cast<AutodiscoverReader*>(data);
    if (reader.path.size() >= 8) {
        reader.Stop();
        return;
    }
    reader.path.emplace_back(AutodiscoverReader::LocalName(name));
    if (reader.InAddress()) {
        reader.found = true;
        reader.address.clear();
    }
}

void OnEnd(void* data, const XML_Char* /*name*/) {
    auto& reader = *static_cast<AutodiscoverReader*>(data);
    if (!reader.path.empty()) {
        reader.path.pop_back();
    }
}

void OnText(void* data, const XML_Char* text, int length) {
    auto& reader = *static_cast<AutodiscoverReader*>(data);
    if (reader.InAddress() && length > 0) {
        reader.address.append(text, static_cast<std::size_t>(length));
    }
}

void OnDoctype(void* data, const XML_Char* /*name*/, const XML_Char* /*system*/,
               const XML_Char* /*public*/, int /*internal*/) {
    static_cast<AutodiscoverReader*>(data)->Stop();
}

std::string_view TrimmedText(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

std::optional<std::string> AutodiscoverAddress(std::string_view requestBody) {
    AutodiscoverReader reader;
    reader.parser = XML_ParserCreateNS(nullptr, '\x01');
    if (reader.parser == nullptr) {
        return std::nullopt;
    }
    XML_SetUserData(reader.parser, &reader);
    XML_SetElementHandler(reader.parser, OnStart, OnEnd);
    XML_SetCharacterDataHandler(reader.parser, OnText);
    XML_SetStartDoctypeDeclHandler(reader.parser, OnDoctype);
    const bool parsed = XML_Parse(reader.parser, requestBody.data(),
                                  static_cast<int>(requestBody.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(reader.parser);
    if (!parsed || reader.refused || !reader.found) {
        return std::nullopt;
    }
    const std::string_view address = TrimmedText(reader.address);
    if (!LoginNameOf(address)) {
        return std::nullopt;
    }
    return std::string(address);
}

namespace {

void AppendPoxProtocol(std::string& xml, const ClientSettings& settings, const ClientPort& port,
                       std::string_view login) {
    // "Encryption" overrides "SSL" where Outlook knows it; older versions read only "SSL".
    const bool encrypted = port.encryption != PortEncryption::None;
    const std::string_view encryption = port.encryption == PortEncryption::Tls        ? "SSL"
                                        : port.encryption == PortEncryption::StartTls ? "TLS"
                                                                                      : "None";
    xml += "      <Protocol>\n        <Type>";
    xml += ProtocolName(port.protocol);
    xml += "</Type>\n        <Server>" + XmlEscape(settings.host) + "</Server>\n        <Port>" +
           std::to_string(port.port) +
           "</Port>\n        <DomainRequired>off</DomainRequired>\n        <LoginName>" +
           XmlEscape(login) + "</LoginName>\n        <SPA>off</SPA>\n        <SSL>";
    xml += encrypted ? "on" : "off";
    xml += "</SSL>\n        <Encryption>";
    xml += encryption;
    xml += "</Encryption>\n        <AuthRequired>on</AuthRequired>\n      </Protocol>\n";
}

} // namespace

std::string AutodiscoverResponse(const ClientSettings& settings, std::string_view emailAddress) {
    const std::string login = LoginNameOf(emailAddress).value_or(std::string(emailAddress));
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<Autodiscover "
        "xmlns=\"http://schemas.microsoft.com/exchange/autodiscover/responseschema/2006\">\n"
        "  <Response "
        "xmlns=\"http://schemas.microsoft.com/exchange/autodiscover/outlook/responseschema/"
        "2006a\">\n    <Account>\n      <AccountType>email</AccountType>\n"
        "      <Action>settings</Action>\n";
    // Outlook takes the first Protocol of each Type, so each protocol's best port only.
    for (const MailProtocol protocol :
         {MailProtocol::Imap, MailProtocol::Pop3, MailProtocol::Smtp}) {
        const auto ports = settings.PortsOf(protocol);
        if (!ports.empty()) {
            AppendPoxProtocol(xml, settings, ports.front(), login);
        }
    }
    xml += "    </Account>\n  </Response>\n</Autodiscover>\n";
    return xml;
}

namespace {

/// A UUID that stays the same for the same words, so that a profile installed again replaces
/// the one before instead of adding a second: two FNV-1a hashes, marked as version 8.
std::string StableUuid(std::string_view words) {
    std::array<std::uint64_t, 2> hashes{0xcbf29ce484222325ULL, 0x84222325cbf29ce4ULL};
    for (std::uint64_t& hash : hashes) {
        for (const char c : words) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        }
        hash ^= hash >> 29;
    }
    hashes[0] = (hashes[0] & ~0xF000ULL) | 0x8000ULL;
    hashes[1] = (hashes[1] & ~(0xC000ULL << 48)) | (0x8000ULL << 48);
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX",
                  static_cast<unsigned>(hashes[0] >> 32),
                  static_cast<unsigned>((hashes[0] >> 16) & 0xFFFF),
                  static_cast<unsigned>(hashes[0] & 0xFFFF), static_cast<unsigned>(hashes[1] >> 48),
                  static_cast<unsigned long long>(hashes[1] & 0xFFFFFFFFFFFFULL));
    return text;
}

/// The base64 of the first certificate in `pem`, as a plist's <data> holds DER.
std::string CertificateBase64(std::string_view pem) {
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    const std::size_t begin = pem.find(kBegin);
    const std::size_t end = pem.find(kEnd);
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin) {
        return {};
    }
    std::string base64;
    for (const char c : pem.substr(begin + kBegin.size(), end - begin - kBegin.size())) {
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') {
            base64 += c;
        }
    }
    return base64;
}

void Key(std::string& plist, std::string_view indent, std::string_view key,
         std::string_view value) {
    plist += std::string(indent) + "<key>" + std::string(key) + "</key>\n" + std::string(indent) +
             "<string>" + XmlEscape(value) + "</string>\n";
}

void KeyRaw(std::string& plist, std::string_view indent, std::string_view key,
            std::string_view element) {
    plist += std::string(indent) + "<key>" + std::string(key) + "</key>\n" + std::string(indent) +
             std::string(element) + "\n";
}

} // namespace

std::string AppleProfile(const ClientSettings& settings, std::string_view user) {
    const std::string& name = settings.name.empty() ? settings.host : settings.name;
    const std::string identifier = "lan.brevin." + name;
    const std::string address = std::string(user) + "@" + name;
    constexpr std::string_view kIn = "      ";
    std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                        "<plist version=\"1.0\">\n<dict>\n  <key>PayloadContent</key>\n"
                        "  <array>\n";
    const std::string certificate = CertificateBase64(settings.caCertificatePem);
    if (!certificate.empty()) {
        plist += "    <dict>\n";
        Key(plist, kIn, "PayloadType", "com.apple.security.root");
        KeyRaw(plist, kIn, "PayloadVersion", "<integer>1</integer>");
        Key(plist, kIn, "PayloadIdentifier", identifier + ".ca");
        Key(plist, kIn, "PayloadUUID", StableUuid(identifier + ".ca"));
        Key(plist, kIn, "PayloadDisplayName", "Brevin office certificate");
        Key(plist, kIn, "PayloadCertificateFileName", "brevin-ca.cer");
        KeyRaw(plist, kIn, "PayloadContent", "<data>" + certificate + "</data>");
        plist += "    </dict>\n";
    }
    // iOS takes one incoming server: IMAP when it is open, else POP3.
    auto incoming = settings.PortsOf(MailProtocol::Imap);
    const bool imap = !incoming.empty();
    if (!imap) {
        incoming = settings.PortsOf(MailProtocol::Pop3);
    }
    const auto outgoing = settings.PortsOf(MailProtocol::Smtp);
    if (!incoming.empty() && !outgoing.empty()) {
        const std::string mail = identifier + ".mail." + std::string(user);
        plist += "    <dict>\n";
        Key(plist, kIn, "PayloadType", "com.apple.mail.managed");
        KeyRaw(plist, kIn, "PayloadVersion", "<integer>1</integer>");
        Key(plist, kIn, "PayloadIdentifier", mail);
        Key(plist, kIn, "PayloadUUID", StableUuid(mail));
        Key(plist, kIn, "PayloadDisplayName", "Mail for " + std::string(user));
        Key(plist, kIn, "EmailAccountDescription", "Brevin (" + name + ")");
        Key(plist, kIn, "EmailAccountName", user);
        Key(plist, kIn, "EmailAccountType", imap ? "EmailTypeIMAP" : "EmailTypePOP");
        Key(plist, kIn, "EmailAddress", address);
        const auto server = [&](std::string_view side, const ClientPort& port) {
            const std::string prefix = std::string(side) + "MailServer";
            Key(plist, kIn, prefix + "Authentication", "EmailAuthPassword");
            Key(plist, kIn, prefix + "HostName", settings.host);
            KeyRaw(plist, kIn, prefix + "PortNumber",
                   "<integer>" + std::to_string(port.port) + "</integer>");
            // On a STARTTLS port "use SSL" is how iOS asks for the upgrade.
            KeyRaw(plist, kIn, prefix + "UseSSL",
                   port.encryption == PortEncryption::None ? "<false/>" : "<true/>");
            Key(plist, kIn, prefix + "Username", user);
        };
        server("Incoming", incoming.front());
        server("Outgoing", outgoing.front());
        KeyRaw(plist, kIn, "OutgoingPasswordSameAsIncomingPassword", "<true/>");
        plist += "    </dict>\n";
    }
    plist += "  </array>\n";
    constexpr std::string_view kTop = "  ";
    Key(plist, kTop, "PayloadDisplayName", "Brevin mail for " + std::string(user));
    Key(plist, kTop, "PayloadDescription",
        "Trusts the office certificate of the Brevin server " + name +
            " and sets up the mail account of " + std::string(user) +
            "; the device asks for the password.");
    Key(plist, kTop, "PayloadIdentifier", identifier + ".profile." + std::string(user));
    Key(plist, kTop, "PayloadOrganization", "Brevin");
    KeyRaw(plist, kTop, "PayloadRemovalDisallowed", "<false/>");
    Key(plist, kTop, "PayloadType", "Configuration");
    Key(plist, kTop, "PayloadUUID", StableUuid(identifier + ".profile." + std::string(user)));
    KeyRaw(plist, kTop, "PayloadVersion", "<integer>1</integer>");
    plist += "</dict>\n</plist>\n";
    return plist;
}

std::string SettingsPage(const ClientSettings& settings) {
    const std::string host = XmlEscape(settings.host);
    const std::string name = XmlEscape(settings.name.empty() ? settings.host : settings.name);
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Mail settings: " +
        name +
        "</title>\n<style>\n"
        "body{font-family:sans-serif;margin:1.5em;max-width:44em;color:#222}\n"
        "table{border-collapse:collapse;margin:.5em 0 1em}\n"
        "th,td{border:1px solid #bbb;padding:.3em .7em;text-align:left}\n"
        "th{background:#eee}\ncode{font-size:.9em;word-break:break-all}\n"
        "</style>\n</head>\n<body>\n<h1>Mail on " +
        name +
        "</h1>\n<p>Set up your mail program with these settings. Your user name is your name "
        "on this server (the part of your address before the @), with your password.</p>\n"
        "<table>\n<tr><th>Protocol</th><th>Server</th><th>Port</th><th>Encryption</th></tr>\n";
    for (const ClientPort& port : settings.ports) {
        html += "<tr><td>";
        html += ProtocolName(port.protocol);
        html += port.protocol == MailProtocol::Smtp ? " (sending)" : " (receiving)";
        html += "</td><td>" + host + "</td><td>" + std::to_string(port.port) + "</td><td>";
        html += EncryptionName(port.encryption);
        html += "</td></tr>\n";
    }
    html += "</table>\n";
    if (!settings.fingerprint.empty()) {
        html += "<p>The server's certificate has the SHA-256 fingerprint<br><code>" +
                XmlEscape(settings.fingerprint) + "</code></p>\n";
    }
    if (!settings.caCertificatePem.empty()) {
        html += "<p><a href=\"/brevin-ca.pem\">Download the office certificate</a> and trust it "
                "once on your device: every certificate of this server is then trusted.</p>\n";
    }
    html += "<h2>iPhone, iPad and Mac</h2>\n<form action=\"/profile\" method=\"get\">\n"
            "<label>Your name: <input name=\"user\" autocapitalize=\"none\" "
            "autocorrect=\"off\" required></label>\n"
            "<button type=\"submit\">Get the configuration profile</button>\n</form>\n"
            "<p>Thunderbird and Outlook find these settings themselves when your address's "
            "domain points <code>autoconfig</code> and <code>autodiscover</code> at this "
            "server.</p>\n</body>\n</html>\n";
    return html;
}

} // namespace brevin
