// UID generation and the toolkit's data dictionary.
#include "dcmtk_internal.h"  // first: DCMTK needs its configuration header before any other

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>

#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcuid.h>

namespace corva::dicom {

namespace {

// The root our UIDs grow from; we append host, process, time and a counter.
// A site with a registered root of its own sets it here.
constexpr const char* SiteUidRoot = SITE_INSTANCE_UID_ROOT;

// A number for this machine, made once. DCMTK's own generator asks gethostid() for
// every UID, which resolves the host name and can wait seconds on a machine whose
// name is not in its hosts file; the machine id needs no network.
unsigned long hostNumber()
{
    static const unsigned long number = [] {
        std::string id;
        std::ifstream("/etc/machine-id") >> id;
        if (id.empty()) {
            char name[256] = {};
            ::gethostname(name, sizeof name - 1);
            id = name;
        }
        return static_cast<unsigned long>(std::hash<std::string>{}(id) % 1000000000UL);
    }();
    return number;
}

}  // namespace

std::string newUid()
{
    // root.host.process.time.counter: each component at most nine or ten digits, so
    // the UID stays within 64 characters; the counter starts at a random value.
    static std::atomic<unsigned long> counter{std::random_device{}() % 1000000000UL};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    return std::string(SiteUidRoot) + "." + std::to_string(hostNumber()) + "." +
           std::to_string(static_cast<unsigned long>(::getpid()) % 10000000UL) + "." + std::to_string(seconds) + "." +
           std::to_string(counter++ % 1000000000UL);
}

std::vector<DictionaryEntry> publicDictionary()
{
    std::map<Tag, DictionaryEntry> entries;
    auto add = [&](const DcmDictEntry* e, Uint16 group, Uint16 element, bool preferred) {
        if (!e || e->getPrivateCreator() || (group & 1) != 0)
            return;
        const DcmEVR vr = e->getEVR();
        if (vr == EVR_na || vr == EVR_item)  // item and delimitation tags are no attributes
            return;
        const Tag tag{group, element};
        if (!preferred && entries.count(tag))
            return;
        entries[tag] = DictionaryEntry{tag, detail::vrName(vr), e->getTagName() ? e->getTagName() : ""};
    };

    auto& dict = const_cast<DcmDataDictionary&>(dcmDataDict.rdlock());
    for (auto it = dict.normalBegin(); it != dict.normalEnd(); ++it)
        add(*it, (*it)->getGroup(), (*it)->getElement(), true);
    for (auto it = dict.repeatingBegin(); it != dict.repeatingEnd(); ++it) {
        const DcmDictEntry* e = *it;
        // Ranges such as overlays (60xx,3000) stand for their first group; the generic
        // group length (gggg,0000) over all groups is left out.
        if (e->getGroup() == 0x0000 && e->getUpperGroup() == 0xFFFF)
            continue;
        Uint16 group = e->getGroup();
        if (e->getGroupRangeRestriction() == DcmDictRange_Even && (group & 1))
            ++group;
        add(e, group, e->getElement(), false);
    }
    dcmDataDict.rdunlock();

    std::vector<DictionaryEntry> out;
    out.reserve(entries.size());
    for (auto& [tag, entry] : entries)
        out.push_back(std::move(entry));
    return out;
}

}  // namespace corva::dicom
