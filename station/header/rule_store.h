#pragma once
// Stored rules: named task lists in the configuration database (tblRuleKey, tblRules).
// Names and texts are stored as typed (bound parameters), apostrophes included.
#include <string>
#include <vector>

#include "header/header_task.h"

namespace corva::db {
class Database;
}

namespace corva::station::header {

class RuleStore {
public:
    explicit RuleStore(db::Database& userDb) : db_(userDb) {}

    // The rule names in name order (the "Add fav. task" menu).
    std::vector<std::string> names();
    bool exists(const std::string& name);
    // Stores the tasks at the levels Patient, Study and Series (a "Change entry" without
    // its target: the value is asked on every replay) and, when any was stored, the
    // rule's name, all in one transaction. Returns the number of tasks stored.
    int save(const std::string& name, const std::vector<HeaderTask>& tasks);
    // The stored tasks of a rule, in stored order; old values empty, targets as stored.
    std::vector<HeaderTask> tasks(const std::string& name);

private:
    db::Database& db_;
};

// "Save as ...": asks for a name through the operator seam until it is new (or blank
// / cancelled) and stores the tasks; shows the result messages. True when stored.
bool saveRuleAsked(RuleStore& store, const std::vector<HeaderTask>& tasks);

// Replays a rule: asks for every task's target ("(" + source + "):", "Enter new value",
// the stored target as default); Cancel leaves that task out. Returns the tasks to add.
std::vector<HeaderTask> replayRuleAsked(RuleStore& store, const std::string& name);

}  // namespace corva::station::header
