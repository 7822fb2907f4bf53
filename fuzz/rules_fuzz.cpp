// Rule lines and list files: the input carries a sender, a subject and a list file (pieces
// separated by NUL bytes); the list is loaded, matched, merged, appended to and each rule opened
// in the editor's state.
#include <cstdlib>

#include "common/filterparam.h"
#include "common/text.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Init();
    const std::vector<std::string> pieces = fuzz::Pieces(data, size, 3);
    const std::string &from = pieces[0], &subject = pieces[1], &file = pieces[2];
    const std::string path = ListFilePath(fuzz::Folder("rules"), TListKind::Reject, true);
    fuzz::WriteFile(path, file);

    TStringList rules;
    LoadListFile(path, rules);
    TRuleActions actions;
    const int best = MatchRules(from, subject, actions, rules);
    if (best < -1 || best >= rules.Count())
        std::abort();

    for (int i = 0; i < rules.Count() && i < 20; ++i) {
        const TRuleFields fields = SplitRule(rules[i]);
        if (SplitRule(JoinRule(fields)).size() < size_t(RuleFieldCount))
            std::abort();
        ActionsFromRule(fields);
        Score(FoldCase(fields[rfAddress]), FoldCase(from));
        TRuleEditState state;
        state.Open(false, fields);
        state.WindowWidth();
        for (int edit = TRuleEditState::aqNone; edit <= TRuleEditState::aqMailerIsp; ++edit)
            state.AddressQuickEdit(TRuleEditState::TAddressQuickEdit(edit));
        state.SubjectQuickEdit(TRuleEditState::sqRestore);
        state.SetMatchBy(TRuleEditState::mbAddress);
        state.SetMatchBy(TRuleEditState::mbBoth);
        state.Fields();
    }
    AddressChoices(from);
    SubjectChoices(subject);

    TStringList merged;
    MergeRules(merged, rules);
    MergeRules(merged, rules);
    if (merged.Count() > rules.Count())
        std::abort(); // merging the same lines twice adds nothing
    AppendRule(path, from);
    return 0;
}
