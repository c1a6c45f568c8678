#include "header/rule_store.h"

#include "common/operator_seam.h"
#include "db/database.h"

namespace corva::station::header {

std::vector<std::string> RuleStore::names()
{
    std::vector<std::string> out;
    auto st = db_.prepare("SELECT fKeyName FROM tblRuleKey ORDER BY fKeyName");
    while (st.step())
        out.push_back(st.getText(0));
    return out;
}

bool RuleStore::exists(const std::string& name)
{
    auto st = db_.prepare("SELECT (SELECT COUNT(*) FROM tblRules WHERE fName = ?) + "
                          "(SELECT COUNT(*) FROM tblRuleKey WHERE fKeyName = ?)");
    st.bind(1, name).bind(2, name);
    return st.step() && st.getInt(0) > 0;
}

int RuleStore::save(const std::string& name, const std::vector<HeaderTask>& tasks)
{
    db::Transaction tx(db_);
    int stored = 0;
    for (const auto& t : tasks) {
        if (t.level.rfind("Image", 0) == 0)
            continue;
        auto st = db_.prepare(
            "INSERT INTO tblRules (fLevel, fSource, fTask, fTaskID, fTarget, fName) VALUES (?, ?, ?, ?, ?, ?)");
        st.bind(1, t.level).bind(2, t.source).bind(3, t.actionName).bind(4, t.actionNumber);
        if (t.actionNumber == "0")
            st.bindNull(5);
        else
            st.bind(5, t.target);
        st.bind(6, name);
        st.run();
        ++stored;
    }
    if (stored > 0) {
        db_.prepare("INSERT INTO tblRuleKey (fKeyName) VALUES (?)").bind(1, name).run();
        tx.commit();
    }
    return stored;
}

std::vector<HeaderTask> RuleStore::tasks(const std::string& name)
{
    std::vector<HeaderTask> out;
    auto st = db_.prepare("SELECT fLevel, fSource, fTask, fTaskID, fTarget FROM tblRules WHERE fName = ? ORDER BY rowid");
    st.bind(1, name);
    while (st.step())
        out.push_back({st.getText(0), st.getText(1), {}, st.getText(2), st.isNull(4) ? std::string() : st.getText(4),
                       st.getText(3)});
    return out;
}

bool saveRuleAsked(RuleStore& store, const std::vector<HeaderTask>& tasks)
{
    if (tasks.empty())
        return false;
    for (;;) {
        const auto answer = op().inputBox("Please enter new name:", {}, {});
        if (!answer || answer->trimmed().isEmpty())
            return false;
        const std::string name = answer->toStdString();
        if (store.exists(name)) {
            op().message("Name already exists!", {}, MsgIcon::Information, MsgButtons::OK);
            continue;
        }
        if (store.save(name, tasks) > 0) {
            op().message("Task successfully saved!", {}, MsgIcon::Information, MsgButtons::OK);
            return true;
        }
        op().message("No tasks with level \"Patient\", \"Study\" or \"Series\".\r\nTasks not saved.", {},
                     MsgIcon::Information, MsgButtons::OK);
        return false;
    }
}

std::vector<HeaderTask> replayRuleAsked(RuleStore& store, const std::string& name)
{
    std::vector<HeaderTask> out;
    for (HeaderTask t : store.tasks(name)) {
        const auto answer = op().inputBox(QString::fromStdString("(" + t.source + "):"), "Enter new value",
                                          QString::fromStdString(t.target));
        if (!answer)
            continue;
        t.target = answer->toStdString();
        out.push_back(std::move(t));
    }
    return out;
}

}  // namespace corva::station::header
