#pragma once
// The DICOM storage receiver: a storage SCP that accepts every storage SOP class
// (private and newer ones too, as storescp's promiscuous mode) and verification, and writes each received object into one folder as
// "<SOP Instance UID>.dcm". Several associations are served at once, one thread each.
// An object whose SOP Instance UID cannot be a file name (corva::isSafeUid), or that is
// nested too deep or incomplete (checkFileStructure), is answered with a failure status
// (0xC000) and not kept; one that cannot be written with 0xA700 (out of resources). The
// association goes on in both cases.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace corva::dicom {

struct StorageServerConfig {
    std::string aeTitle;                // our title; associations calling another title are refused
    int port = 0;
    std::filesystem::path outputFolder;  // created when missing
    int maxAssociations = 32;           // served at once; more are refused as busy
    int idleTimeoutSeconds = 60;        // a peer silent this long in an association is dropped
};

// What the receiver reports. Called from the receiver's threads, several at once; the
// receiver holds no lock while calling.
struct StorageEvents {
    std::function<void(const std::string& callingAe, const std::string& peer)> associationAccepted;
    std::function<void(const std::string& callingAe, const std::string& peer, const std::string& reason)>
        associationRefused;
    // An association ended; aborted when the peer or the network broke it off.
    std::function<void(const std::string& callingAe, int stored, int refused, bool aborted)> associationEnded;
    std::function<void(const std::filesystem::path& file)> objectStored;
    std::function<void(const std::string& sopInstanceUid, const std::string& reason)> objectRefused;
    // A proposed presentation context was refused (the peer then reports "no presentation context").
    std::function<void(const std::string& callingAe, const std::string& peer, const std::string& sopClass,
                       const std::string& reason)>
        contextRefused;
    std::function<void(const std::string& text)> error;
};

// Received files are first written as ".<uid>.<pid>-<n>.part" beside their final name
// and renamed when complete, so the ingest service never sees half a file.
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
