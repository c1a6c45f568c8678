#pragma once
// Shared by the adapter's sources only: the toolkit's TLS layer made from our files, and
// the reasons OpenSSL gives in words an operator can act on.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <dcmtk/dcmtls/tlslayer.h>

#include <memory>
#include <string>

#include "dicom/tls.h"

namespace corva::dicom::detail {

// A layer for the given side with the files loaded and checked (tlsClientProblem /
// tlsServerProblem); throws corva::Error (errc::Network) naming the file and the reason.
// `Layer` is DcmTLSTransportLayer or a class derived from it.
template <typename Layer>
std::unique_ptr<Layer> makeTlsLayer(bool server, const TlsFiles& files);

// The reason for the last TLS failure of this thread, from OpenSSL's error queue (which
// it empties), e.g. "certificate verify failed"; `fallback` when the queue holds none.
std::string takeTlsReason(const std::string& fallback);

// True for a condition of the toolkit's TLS layer (the handshake failed).
bool isTlsFailure(const OFCondition& cond);
// The reason in such a condition ("TLS error: certificate verify failed"), without the prefix.
std::string tlsReasonOf(const OFCondition& cond);

// Shared by both sides: fills a layer made for the role.
void loadTlsLayer(DcmTLSTransportLayer& layer, bool server, const TlsFiles& files);

template <typename Layer>
std::unique_ptr<Layer> makeTlsLayer(bool server, const TlsFiles& files)
{
    auto layer = std::make_unique<Layer>(server ? NET_ACCEPTOR : NET_REQUESTOR, nullptr, OFTrue);
    loadTlsLayer(*layer, server, files);
    return layer;
}

}  // namespace corva::dicom::detail
