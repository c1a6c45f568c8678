#pragma once
// Helpers of the ingest tests: a program folder with a service on it, files dropped
// into the input folder, and reads of the image database.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "db/database.h"
#include "dicom_fixture.h"
#include "ingest_service.h"
#include "program_folder.h"

namespace corva::ingest::test {

inline std::int64_t queryInt(const std::filesystem::path& dbFile, const std::string& sql, const std::string& arg = {})
{
    db::Database db(dbFile);
    db::Statement st(db, sql);
    if (!arg.empty())
        st.bind(1, arg);
    if (!st.step() || st.isNull(0))
        return -1;
    return st.getInt(0);
}

inline std::optional<std::string> queryText(const std::filesystem::path& dbFile, const std::string& sql,
                                            const std::string& arg = {})
{
    db::Database db(dbFile);
    db::Statement st(db, sql);
    if (!arg.empty())
        st.bind(1, arg);
    if (!st.step() || st.isNull(0))
        return std::nullopt;
    return st.getText(0);
}

inline int countFiles(const std::filesystem::path& folder, bool recursive = false)
{
    int n = 0;
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec))
        return 0;
    if (recursive) {
        for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
            n += e.is_regular_file() ? 1 : 0;
    } else {
        for (const auto& e : std::filesystem::directory_iterator(folder))
            n += e.is_regular_file() ? 1 : 0;
    }
    return n;
}

// A program folder with a started service; files are written elsewhere and renamed in.
class Station {
public:
    Station() : service_(folder_.path()) { service_.start(); }

    corva::test::ProgramFolder& folder() { return folder_; }
    IngestService& service() { return service_; }
    std::filesystem::path temp() const { return folder_.temp(); }
    std::filesystem::path db() const { return folder_.imageDatabase(); }

    // Writes a DICOM file into the input folder (through a temporary name).
    std::filesystem::path drop(const std::string& name, const corva::test::DicomRecipe& recipe = {})
    {
        const auto staging = folder_.path() / "staging" / name;
        corva::test::writeDicom(staging, recipe);
        std::filesystem::rename(staging, temp() / name);
        return temp() / name;
    }

    void ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            service_.tick();
    }

    // Ticks until no input file is left (repairs take further passes); false when
    // files are still there after `limit` ticks.
    bool settle(int limit = 20)
    {
        for (int i = 0; i < limit; ++i) {
            bool any = false;
            for (const auto& e : std::filesystem::directory_iterator(temp()))
                any = any || (e.is_regular_file() && InputScanner::isInputName(e.path().filename().string()));
            if (!any)
                return true;
            service_.tick();
        }
        return false;
    }

    std::int64_t count(const std::string& table) { return queryInt(db(), "SELECT COUNT(*) FROM " + table); }

private:
    corva::test::ProgramFolder folder_;
    IngestService service_;
};

}  // namespace corva::ingest::test
