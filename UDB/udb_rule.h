// Custom conversion rules: a process-wide registry through which special
// columns or values may bypass a destination's own type handling.
#pragma once
#include <string>
#include <vector>

#include "OLE/ole_var.h"
#include "TK/tk_singl.h"

struct t_ftd;

// One custom rule.
class udb_conversion_rule {
public:
    virtual ~udb_conversion_rule() = default;
    virtual bool accepts_value(const ole_variant& value) const = 0;
    virtual bool accepts_column(const t_ftd& column) const = 0;
    virtual std::wstring convert(const ole_variant& value) const = 0;
    // Fills the destination's binding entry for the column.
    virtual void handle_column(const t_ftd& column, void* binding) const = 0;
};

// The registry of rules (not owned). With no registry instance, or no rule,
// every question answers no and destinations take their own paths.
class udb_custom_conversion : public tk_singleton<udb_custom_conversion> {
public:
    void add_rule(const udb_conversion_rule* rule) { rules.push_back(rule); }
    const std::vector<const udb_conversion_rule*>& get_rules() const { return rules; }

    // Is any rule registered? (No rule: no value or column can be claimed.)
    static bool has_rules();
    // Does a rule accept the column?
    static bool is_acceptable1(const t_ftd& column);
    // Does a rule accept the value?
    static bool is_acceptable2(const ole_variant& value);
    // The first rule that accepts the column fills its binding entry.
    static void handle1_1(const t_ftd& column, void* binding);
    // The first rule that accepts the value converts it; empty text without
    // rules; an internal error when rules exist but none accepts it.
    static std::wstring handle2(const ole_variant& value);

private:
    static udb_custom_conversion* registry();
    std::vector<const udb_conversion_rule*> rules;
};
