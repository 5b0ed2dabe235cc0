// Visibility rules: the rule context, versions, feature flags and verdicts.
#pragma once

#include "model.h"

// Verdict of an item under the current rule context: absent, "True",
// "False", or a text taken from the template.
Slice item_verdict(const ModelObj *item);
bool verdict_visible(Slice verdict);
// True when `v`, stripped of surrounding blanks and NULs, spells "true" in any case.
bool bool_tryparse_true(Slice v);
void rules_free(RuleCtx *rules);
