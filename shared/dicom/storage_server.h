#pragma once
// The DICOM storage receiver: a storage SCP that accepts every storage SOP class
// (private and newer ones too, as storescp's promiscuous mode) and verification, and writes each received object into one folder as
// "<SOP Instance UID>.dcm". Several associations are served at once, one thread each.
// An object whose SOP Instance UID cannot be a file name (corva::isSafeUid), that is
// nested too deep or incomplete (checkFileStructure), or that is of an image storage SOP
// class and carries no pixel data, is answered with a failure status (0xC000) and not
// kept; one that cannot be written with 0xA700 (out of resources). The association goes
// on in all these cases. "Success" is answered only once the file and its folder entry
// are on disk (fsync).
//
// Each accepted connection is handed to a thread of its own before anything is read
// from it, so a peer that connects and says nothing holds only its own thread, for at
// most requestTimeoutSeconds.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <optional>
#include <vector>

#include "dicom/tls.h"
#include "dicom/dicom.h"

namespace corva::dicom {

struct StorageServerConfig {
    std::string aeTitle;                // our title; associations calling another title are refused
    int port = 0;
    std::string listenAddress;          // numeric IPv4 address to listen on; empty: every interface
    std::filesystem::path outputFolder;  // created when missing
    int maxAssociations = 32;           // served at once; more are refused as busy
    int maxAssociationsPerPeer = 16;    // of them from one address, so that one host cannot take all
    int requestTimeoutSeconds = 10;     // a connection must bring its association request this soon
    int idleTimeoutSeconds = 60;        // a peer silent this long in an association is dropped
    // Who may store; an empty list lets everyone. Calling AE titles compare exactly
    // (blanks around them aside); peers are IPv4 addresses or address/prefix ranges.
    std::vector<std::string> allowedCallingAeTitles;
    std::vector<std::string> allowedPeers;
    // DICOM over TLS on this port: our certificate and key, and when a CA file is given,
    // only callers with a certificate it vouches for. A caller that does not begin with a
    // TLS handshake, or fails it, is closed and reported (problem "TLS handshake with
    // <address> failed: <reason>").
    std::optional<TlsFiles> tls;
};

// The entries of a list setting: separated by commas, semicolons or line breaks, the
// blanks around each dropped, empty ones left out.
std::vector<std::string> splitEntries(const std::string& text);
// A peer address entry for allowedPeers: "a.b.c.d" or "a.b.c.d/n". False for anything else.
bool isValidPeerEntry(const std::string& entry);
// True when the IPv4 address matches one of the entries (exactly, or within a range).
bool peerMatches(const std::string& address, const std::vector<std::string>& entries);
// An AE title a calling peer can send: 1 to 16 characters, no backslash or control character.
bool isValidAeTitle(const std::string& title);

// What the receiver reports. Called from the receiver's threads, several at once; the
// receiver holds no lock while calling. `peer` is the peer's IPv4 address; `callingAe`
// is empty while the peer has not told it.
struct StorageEvents {
    std::function<void(const std::string& callingAe, const std::string& peer)> associationAccepted;
    std::function<void(const std::string& callingAe, const std::string& peer, const std::string& reason)>
        associationRefused;
    // An association ended; aborted when the peer or the network broke it off.
    std::function<void(const std::string& callingAe, const std::string& peer, int stored, int refused, bool aborted)>
        associationEnded;
    std::function<void(const std::filesystem::path& file)> objectStored;
    std::function<void(const std::string& callingAe, const std::string& peer, const std::string& sopInstanceUid,
                       const std::string& reason)>
        objectRefused;
    // A proposed presentation context was refused (the peer then reports "no presentation context").
    std::function<void(const std::string& callingAe, const std::string& peer, const std::string& sopClass,
                       const std::string& reason)>
        contextRefused;
    // A fault that may repeat while it lasts (a full disk, a peer that keeps connecting
    // without speaking, a refused peer trying again). `condition` names it, the same for
    // every repetition; `text` says what happened this time.
    std::function<void(const std::string& condition, const std::string& text)> problem;
    // The condition is over (the disk took a file again, the peer completed an association).
    std::function<void(const std::string& condition)> resolved;
    // An archive's storage commitment report, sent on an association the archive opened
    // (in the role of the commitment's provider). Returns whether it was kept: the
    // archive is told success, or a processing failure so that it may send it again.
    // Without it the storage commitment class is refused.
    std::function<bool(const CommitmentReport& report, const std::string& callingAe, const std::string& peer)>
        commitmentReported;
};

// Received files are first written as ".<uid>.<pid>-<n>.part" beside their final name
// and renamed when complete, so the ingest service never sees half a file. A file
// never replaces one already waiting: a second object of the same SOP Instance UID
// becomes "<uid>-2.dcm" (then -3, ...).
class StorageServer {
public:
    StorageServer(StorageServerConfig config, StorageEvents events);
    ~StorageServer();
    StorageServer(const StorageServer&) = delete;
    StorageServer& operator=(const StorageServer&) = delete;

    // Removes partial files left in the output folder by receivers that are gone
    // (killed in the middle of an object). Returns how many it removed.
    int removeStalePartFiles() const;

    // Listens and serves associations until stop(). Throws corva::Error (errc::Network)
    // when the port cannot be opened.
    void run();

    // Stops taking associations; run() returns once the running ones have ended.
    // Safe to call from any thread, also before run().
    void stop();

    // True for a name this receiver writes while an object is still arriving.
    static bool isPartFileName(const std::string& fileName);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corva::dicom
