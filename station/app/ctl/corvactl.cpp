#include "app/ctl/corvactl.h"

#include <algorithm>

#include "core/error.h"
#include "core/paths.h"
#include "app/ctl/arguments.h"
#include "app/ctl/commands.h"
#include "app/ctl/station_lookup.h"
#include "settings/settings.h"

namespace corva::station::ctl {

namespace fs = std::filesystem;

namespace {

constexpr const char* Overview =
    "Usage: corvactl [--program-folder <dir>] [--no-wait] <command> [options]\n"
    "\n"
    "The station's jobs from the command line, in the program folder of this executable\n"
    "(or --program-folder). Job log lines go to standard output, progress and notices to\n"
    "standard error. A job waits while another job (the station's job window or another\n"
    "corvactl) works on the images; --no-wait makes it fail at once instead.\n"
    "\n"
    "Exit status: 0 everything done, 1 ran but something failed or was not there,\n"
    "2 usage error.\n"
    "\n"
    "Commands:\n";

const CommandInfo* findCommand(const std::string& name) {
    for (const CommandInfo& c : commands())
        if (name == c.name) return &c;
    return nullptr;
}

void writeOverview(std::ostream& out) {
    out << Overview;
    for (const CommandInfo& c : commands()) {
        std::string name = c.name;
        name.resize(std::max<std::size_t>(name.size(), 10), ' ');
        out << "  " << name << c.summary << '\n';
    }
    out << "\nRun 'corvactl <command> --help' for the options of a command.\n";
}

// Takes --program-folder and --no-wait wherever they stand before "--".
struct GlobalOptions {
    std::optional<fs::path> programFolder;
    bool noWait = false;
    bool help = false;
    std::vector<std::string> rest;
};

GlobalOptions globalOptions(const std::vector<std::string>& args) {
    GlobalOptions g;
    bool ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (ended) {
            g.rest.push_back(a);
            continue;
        }
        if (a == "--") {
            ended = true;
            g.rest.push_back(a);
        } else if (a == "--no-wait") {
            g.noWait = true;
        } else if (a == "--help" || a == "-h") {
            g.help = true;
        } else if (a == "--program-folder" || a.rfind("--program-folder=", 0) == 0) {
            if (g.programFolder) throw UsageError("option --program-folder given twice");
            if (a.size() > 16) {
                g.programFolder = a.substr(17);
            } else {
                if (i + 1 >= args.size()) throw UsageError("option --program-folder needs a value");
                g.programFolder = args[++i];
            }
        } else {
            g.rest.push_back(a);
        }
    }
    return g;
}

}  // namespace

const std::vector<CommandInfo>& commands() {
    static const std::vector<CommandInfo> list = {
        {"list", "patients, studies, series and images of the image database; the destinations",
         "Usage: corvactl list patients [--json]\n"
         "       corvactl list studies <patient ID> [--json]\n"
         "       corvactl list series <study UID> [--json]\n"
         "       corvactl list images <series UID> [--json]\n"
         "       corvactl list destinations [--json]\n"
         "\n"
         "One line per row, tab-separated, after a header line; --json writes an array of\n"
         "objects instead. The Key column of 'list patients' names a patient for the other\n"
         "commands (patient IDs are not unique). Dates are shown as the station shows them.\n"
         "'list destinations' shows the storage destinations of the options window, each with\n"
         "whether it is asked for storage commitment and its transport: plain DICOM, or TLS\n"
         "with its CA file and client certificate and key.\n",
         listCommand, true},
        {"send", "send a patient, study or series to a storage destination",
         "Usage: corvactl send --patient <key>|--study <UID>|--series <UID>\n"
         "                     --to <alias>|<AET>@<host>:<port> [--keep|--no-keep] [--commitment]\n"
         "\n"
         "The station's send jobs: the series job sends the series' stored images, the study\n"
         "and patient jobs send the study's converted images waiting in the work folder (bin).\n"
         "--to takes an alias of the station's destination list or an AE title, host and port.\n"
         "A destination of the list set to use TLS is sent to over TLS; <AET>@<host>:<port> is\n"
         "plain DICOM. A TLS failure names the destination and the reason.\n"
         "The calling AE title is Com\\IR_AET. After a complete send the study or series is\n"
         "removed unless kept: the setting 'Keep images in database after transfer', or\n"
         "--keep / --no-keep for this send. Exit status 1 when the destination refuses or\n"
         "not every image was sent.\n"
         "\n"
         "A destination of the list with \"Ask for storage commitment\" (or --commitment) is\n"
         "asked to commit to every image it stored; an image leaves the station only once the\n"
         "destination committed to it. The answer comes on the request's association or later\n"
         "to Recvora; the send waits Com\\Commitment_Timeout seconds (default 60) for it. Images\n"
         "the destination did not commit, or whose answer did not come, stay and are named\n"
         "(exit status 1); 'corvactl commitments' removes them once a later answer committed\n"
         "them.\n",
         sendCommand, true},
        {"forward", "forward a study with its exposure records, paired automatically",
         "Usage: corvactl forward --study <UID> --plan [--json]\n"
         "       corvactl forward --study <UID> [--to <alias>|<AET>@<host>:<port>] [--keep|--no-keep]\n"
         "                        [--commitment]\n"
         "\n"
         "The station's \"Automatic\" forwarding: each image of the study is paired with the\n"
         "waiting exposure record of its projection (several images of one projection take\n"
         "its records in time order), or nothing is done and the reasons are told: an image\n"
         "whose projection cannot be read, a record that names none, counts that differ,\n"
         "records waiting for a projection the study does not have. The X-ray unit type\n"
         "(General\\XrayComm) says how a record names its projection.\n"
         "\n"
         "--plan only tells the pairing, one line per image (the pair, a tab, the image's SOP\n"
         "instance UID), or one line per reason; it changes nothing. --json writes one object\n"
         "{\"pairs\": [{\"image\": <SOP instance UID>, \"record\": <record ID>}, ...],\n"
         "\"refused\": [<reason>, ...]}. Exit status 0 when the plan holds, 1 when refused.\n"
         "\n"
         "Without --plan the pairs are written, each image is converted with its record into\n"
         "the work folder (bin, emptied first as the station does) and sent to the default\n"
         "destination of the options window, or to --to. A record is marked used only when\n"
         "the destination stored its image; an image stored in full is removed unless kept:\n"
         "the setting 'Keep images in database after transfer', or --keep / --no-keep for\n"
         "this forwarding. The study's dose report follows the images; one a killed\n"
         "forwarding of the study owed goes first, as the same instance. Exit status 1 when\n"
         "the plan is refused (nothing converted or sent), the destination is not reached,\n"
         "not every image was stored, or the dose report was not delivered.\n"
         "With storage commitment (as for send) the records are used when their images are\n"
         "stored, and the images leave only once the destination committed to them.\n",
         forwardCommand, true},
        {"commitments", "remove what archives committed to since, list what waits for an answer",
         "Usage: corvactl commitments [--ask-again]\n"
         "\n"
         "Storage commitment answers that came after their send (to Recvora, also while the\n"
         "station was stopped) are finished here: each image the archive committed to and the\n"
         "send asked to remove leaves the station, by its ID, once; images the archive did not\n"
         "commit stay. Lines (tab-separated): committed <UID>, not committed <UID> <why>,\n"
         "pending <UID> <transaction>; the last line counts them. The station's start and\n"
         "'corvactl check --repair' do the same. --ask-again first sends the request of each\n"
         "unanswered transaction again (one a kill or a lost connection kept from arriving).\n"
         "Exit status 0 when nothing waits and every image was committed, 1 otherwise.\n",
         commitmentsCommand, true},
        {"dose-report", "write a study's radiation dose report again and send it",
         "Usage: corvactl dose-report --study <UID> [--patient <ID>] [--to <alias>|<AET>@<host>:<port>]\n"
         "                          [--keep|--no-keep]\n"
         "\n"
         "Writes the X-Ray Radiation Dose report of the study from the exposure records that\n"
         "forwarding applied to the images the destination stored (one irradiation event per\n"
         "record) and sends it to the default destination or --to. It is filed in the station\n"
         "as a series of its own when kept (the keep setting, or --keep / --no-keep) or when\n"
         "the destination did not store it in full. A forwarding writes it by itself after\n"
         "its images; this writes it again (a new instance, the same irradiation events),\n"
         "or, when a forwarding was interrupted before the report was delivered, sends that\n"
         "same report instance. A study UID given to the images of two patients has a report\n"
         "per patient: --patient names whose.\n"
         "The unit's name and the dose its type reports (entrance exposure or average\n"
         "glandular dose) come from the options window.\n"
         "Exit status 1 when the study has no such record or the report was not sent.\n",
         doseReportCommand, true},
        {"check", "whether image rows and files match, and what interrupted work left",
         "Usage: corvactl check [--repair]\n"
         "\n"
         "Compares the image database with the image store and lists, one per line (kind,\n"
         "path, detail, tab-separated): image rows whose file is missing, image files no row\n"
         "names, study folders set aside by an interrupted \"delete all\", half-written files,\n"
         "rewritten images a stopped header job has not handed over, files the ingest service\n"
         "set aside (with the reason), converted images waiting in the work folder (bin), and\n"
         "images sent for storage commitment whose archive has not answered (no fault) or\n"
         "whose committed removal was interrupted.\n"
         "The last line counts them. Exit status 0 when rows and files match and nothing\n"
         "interrupted waits (images waiting in bin are no fault), 1 otherwise.\n"
         "\n"
         "--repair first finishes what can be finished: staged rewrites are handed over, and\n"
         "image files without rows go back through the input folder (Temp) to be filed again\n"
         "(a file of the same name waiting there is never replaced); so do files the ingest\n"
         "service set aside for no fault of their own (an earlier version gave up on images\n"
         "while the database or the disk failed). Answered storage commitments are finished\n"
         "first, as 'corvactl commitments' does. It never deletes an image file the archive\n"
         "did not commit to. Then it\n"
         "checks again.\n",
         checkCommand, true},
        {"delete", "delete a patient, study, series or everything",
         "Usage: corvactl delete --patient <key>|--study <UID>|--series <UID>\n"
         "       corvactl delete --all --yes\n"
         "\n"
         "The station's delete jobs: rows and image files go. A patient's only study takes\n"
         "the patient along, a study's only series the study. --all empties the image\n"
         "database and the image store and needs --yes.\n",
         deleteCommand, true},
        {"import", "import DICOM files or a DICOMDIR medium",
         "Usage: corvactl import <files...>\n"
         "       corvactl import --dicomdir <path of the DICOMDIR file>\n"
         "\n"
         "The station's import jobs: each image is put into the input folder (Temp) as\n"
         "<SOP Instance UID>.dcm; the ingest service Ingrado files it from there. Exit\n"
         "status 1 when a file was not imported.\n",
         importCommand, false},
        {"export", "export a study as JPEG or DICOM files",
         "Usage: corvactl export --study <UID> --to <folder> --jpeg|--dicom [--dicomdir]\n"
         "                       [--zip <name>] [--quality N]\n"
         "\n"
         "The station's export of the study's images into an existing folder: JPEG pictures\n"
         "with info.txt, or DICOM files; --dicomdir makes the folder a DICOMDIR medium.\n"
         "--zip packs the written files into <name> (\".zip\" added) in that folder.\n"
         "--quality is the export window's slider value 0..10 (JPEG quality N x 10), 8 unless\n"
         "given.\n",
         exportCommand, true},
        {"edit", "change header attributes of a patient, study or series",
         "Usage: corvactl edit --patient <key>|--study <UID>|--series <UID>\n"
         "                     --set <gggg,eeee>=<value> [--set ...]\n"
         "       corvactl edit --patient <key>|--study <UID>|--series <UID> --rule <name>\n"
         "                     [--set <gggg,eeee>=<value> ...]\n"
         "\n"
         "The station's header job with \"Change entry\" tasks at the level given; patient\n"
         "attributes (group 0010) reach all of the patient's studies. The value \"New UID\"\n"
         "of a UID attribute makes a fresh UID. --rule replays a stored rule; its changes\n"
         "stored without a value take theirs from --set. The changed images are registered\n"
         "anew by Ingrado, which must run.\n",
         editCommand, true},
        {"services", "status, start or stop Recvora and Ingrado of this program folder",
         "Usage: corvactl services status|start|stop\n"
         "\n"
         "One line per service: name, \"running\" or \"stopped\", process ids. Only the\n"
         "services started from this program folder count; copies elsewhere are left alone.\n"
         "Services that systemd runs from their units (an installed package) are started and\n"
         "stopped through systemctl.\n"
         "Recvora starts only with a port set (Com\\IR_Port).\n",
         servicesCommand, false},
    };
    return list;
}

int runCorvactl(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    std::string commandName;
    try {
        GlobalOptions g = globalOptions(invocation.args);
        if (g.rest.empty() || g.rest.front() == "--") {
            if (g.help) {
                writeOverview(out);
                return ExitComplete;
            }
            throw UsageError("missing command (see corvactl --help)");
        }
        commandName = g.rest.front();
        const CommandInfo* command = findCommand(commandName);
        if (!command) {
            const std::string name = commandName;
            commandName.clear();
            throw UsageError("unknown command '" + name + "' (see corvactl --help)");
        }
        if (g.help) {
            out << command->help;
            return ExitComplete;
        }
        const fs::path folder = fs::absolute(g.programFolder ? *g.programFolder : invocation.executableFolder);
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) throw UsageError("no program folder " + folder.string());
        // The error log and everything else that asks for the program folder use this one.
        setProgramFolderForTesting(folder);
        settings::LoadSettings();
        // The folder the installed programs' file names keeps them where they are.
        const bool ownFolder = !g.programFolder || fs::equivalent(folder, invocation.executableFolder, ec);
        const fs::path executables = ownFolder ? invocation.serviceExecutables : folder;
        CtlEnvironment env{ProgramPaths::compute(folder, executables), out, err, invocation.errIsTerminal, g.noWait, {}};
        stationContext().paths = env.paths;
        const std::vector<std::string> args(g.rest.begin() + 1, g.rest.end());
        return command->run(env, args);
    } catch (const UsageError& e) {
        err << "corvactl" << (commandName.empty() ? "" : " " + commandName) << ": " << e.what() << std::endl;
        return ExitUsage;
    } catch (const NotThere& e) {
        err << "corvactl " << commandName << ": " << e.what() << std::endl;
        return ExitFailed;
    } catch (const CommandFailed& e) {
        err << "corvactl " << commandName << ": " << e.what() << std::endl;
        return ExitFailed;
    } catch (const Error& e) {
        err << "corvactl " << commandName << ": Error #" << e.code() << ": " << e.message() << std::endl;
        return ExitFailed;
    } catch (const std::exception& e) {
        err << "corvactl " << commandName << ": " << e.what() << std::endl;
        return ExitFailed;
    }
}

}  // namespace corva::station::ctl
