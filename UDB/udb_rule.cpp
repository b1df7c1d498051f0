#include "UDB/udb_rule.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

udb_custom_conversion* udb_custom_conversion::registry()
{
    return tk_singleton<udb_custom_conversion>::get();
}

bool udb_custom_conversion::has_rules()
{
    const auto* r = registry();
    return r && !r->rules.empty();
}

bool udb_custom_conversion::is_acceptable1(const t_ftd& column)
{
    tk_log_write(1, "udb_custom_conversion::is_acceptable1");
    if (const auto* r = registry())
        for (const auto* rule : r->rules)
            if (rule && rule->accepts_column(column))
                return true;
    return false;
}

bool udb_custom_conversion::is_acceptable2(const ole_variant& value)
{
    tk_log_write(1, "udb_custom_conversion::is_acceptable2");
    if (const auto* r = registry())
        for (const auto* rule : r->rules)
            if (rule && rule->accepts_value(value))
                return true;
    return false;
}

void udb_custom_conversion::handle1_1(const t_ftd& column, void* binding)
{
    tk_log_write(1, "udb_custom_conversion::handle1_1");
    if (const auto* r = registry()) {
        for (const auto* rule : r->rules) {
            if (rule && rule->accepts_column(column)) {
                rule->handle_column(column, binding);
                return;
            }
        }
    }
}

std::wstring udb_custom_conversion::handle2(const ole_variant& value)
{
    tk_log_write(1, "udb_custom_conversion::handle2");
    const auto* r = registry();
    if (!r || r->rules.empty())
        return std::wstring();
    for (const auto* rule : r->rules)
        if (rule && rule->accepts_value(value))
            return rule->convert(value);
    TK_MAIL_ASSERT();
}
