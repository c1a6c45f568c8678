#include "settings/tls_settings.h"

#include "settings/settings.h"

namespace corva::settings {
namespace {

std::string destinationKey(std::int64_t id, const char* name)
{
    return "SCP_TLS\\" + std::to_string(id) + "_" + name;
}

}  // namespace

ReceiverTls readReceiverTls()
{
    return ReceiverTls{ReadRegistryValue(ReceiverTlsPort, ""), ReadRegistryValue(ReceiverTlsCertificate, ""),
                       ReadRegistryValue(ReceiverTlsKey, ""), ReadRegistryValue(ReceiverTlsCa, "")};
}

bool writeReceiverTls(const ReceiverTls& values)
{
    bool ok = WriteRegistryValue(ReceiverTlsPort, values.port);
    ok = WriteRegistryValue(ReceiverTlsCertificate, values.certificateFile) && ok;
    ok = WriteRegistryValue(ReceiverTlsKey, values.keyFile) && ok;
    return WriteRegistryValue(ReceiverTlsCa, values.caFile) && ok;
}

std::optional<dicom::TlsFiles> DestinationTls::files() const
{
    if (!use)
        return std::nullopt;
    return dicom::TlsFiles{caFile, certificateFile, keyFile};
}

DestinationTls readDestinationTls(std::int64_t id)
{
    DestinationTls values;
    values.use = ReadRegistryValue(destinationKey(id, "Use"), "0") == "1";
    values.caFile = ReadRegistryValue(destinationKey(id, "CAFile"), "");
    values.certificateFile = ReadRegistryValue(destinationKey(id, "CertFile"), "");
    values.keyFile = ReadRegistryValue(destinationKey(id, "KeyFile"), "");
    return values;
}

bool writeDestinationTls(std::int64_t id, const DestinationTls& values)
{
    bool ok = WriteRegistryValue(destinationKey(id, "Use"), values.use ? "1" : "0");
    ok = WriteRegistryValue(destinationKey(id, "CAFile"), values.caFile) && ok;
    ok = WriteRegistryValue(destinationKey(id, "CertFile"), values.certificateFile) && ok;
    return WriteRegistryValue(destinationKey(id, "KeyFile"), values.keyFile) && ok;
}

bool removeDestinationTls(std::int64_t id)
{
    return writeDestinationTls(id, DestinationTls{});
}

}  // namespace corva::settings
