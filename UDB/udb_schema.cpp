#include "TK/tk_log.h"
#include "UDB/udb_db.h"
#include "UDB/udb_name.h"

namespace {

bool is_text(VARTYPE vt)
{
    return vt == VT_BSTR || vt == VT_LPSTR || vt == VT_LPWSTR;
}

bool is_binary(VARTYPE vt)
{
    return vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == (VT_ARRAY | VT_UI1);
}

// A GUID column: text marked as such (Access gives it 38 characters, with braces; a server's
// uniqueidentifier column reads as 36).
bool is_guid(const t_ftd& f)
{
    return is_text(f.vartype) && f.dw_reserved == 1;
}

bool is_number_dest(VARTYPE vt)
{
    return (vt >= 2 && vt <= 6) || vt == 11 || vt == 14 || (vt >= 16 && vt <= 23);
}

bool is_number_source(VARTYPE vt)
{
    return (vt >= 2 && vt <= 6) || vt == 11 || vt == 14 || (vt >= 16 && vt <= 21);
}

void log_descriptor(const t_ftd& f)
{
    tk_log_write_w(1, L"\tfield name='%ls', vartype=%d, size=%d, b_not_null=%d, reserved=%d",
                   f.name.c_str(), int(f.vartype), int(f.size), int(f.b_not_null),
                   int(f.dw_reserved));
}

} // namespace

// ---------------------------------------------------------------- t_ftd

t_ftd::t_ftd(const udb_field& field, const ole_variant& def, int32_t reserved)
    : size(field.get_size()), name(field.name), vartype(field.get_type()),
      b_auto_num(field.b_auto_num), b_not_null(field.b_not_null), def_value(def),
      dw_reserved(reserved)
{
    tk_log_write(1, "t_ftd::ctor1");
    log_descriptor(*this);
}

t_ftd::t_ftd(uint32_t size_, const std::wstring& name_, VARTYPE vartype_, bool not_null,
             bool auto_num, const ole_variant& def, int32_t reserved,
             const std::wstring& native)
    : size(size_), name(name_), vartype(vartype_), native_type(native), b_auto_num(auto_num),
      b_not_null(not_null), def_value(def), dw_reserved(reserved)
{
    tk_log_write(1, "t_ftd::ctor2");
    log_descriptor(*this);
}

bool t_ftd::operator==(const t_ftd& o) const
{
    tk_log_write(1, "t_ftd::operator ==");
    const bool money_a = vartype == VT_DECIMAL || vartype == VT_CY;
    const bool money_b = o.vartype == VT_DECIMAL || o.vartype == VT_CY;
    if (vartype != o.vartype)
        return money_a && money_b;  // currency and decimal stand for each other
    if (is_text(vartype) || is_binary(vartype))
        return size == o.size;
    if (vartype == VT_DECIMAL)
        return precision == o.precision && scale == o.scale;
    return true;
}

bool t_ftd::conform_to(const t_ftd& d) const
{
    tk_log_write(1, "t_ftd::conform_to");
    tk_log_write(1, "that.type=%d", int(d.vartype));
    // A pure date column takes only pure dates, a pure time column only pure times: anything
    // else would lose its time or its date there.
    if (vartype == VT_DATE && d.is_pure_date_or_time() &&
        (is_date_only() != d.is_date_only() || is_time_only() != d.is_time_only())) {
        tk_log_write(1, "Date and time kinds differ");
        return false;
    }
    if (*this == d) {
        tk_log_write(1, "Src and dest columns are identical");
        return true;
    }
    if (is_guid(*this) && is_guid(d)) {
        // Every GUID fits a GUID column, whatever the length of its text form.
        tk_log_write(1, "Src and dest columns are both GUID");
        return true;
    }
    const VARTYPE dv = d.vartype;
    if (is_number_dest(dv)) {
        if (!is_number_source(vartype))
            return false;
        // A decimal of known precision must hold every source decimal:
        // as many fraction digits and as many integer digits.
        if (dv == VT_DECIMAL && vartype == VT_DECIMAL && precision != 0 && d.precision != 0) {
            if (d.scale < scale || d.precision - d.scale < precision - scale)
                return false;
        }
        return true;
    }
    if (dv == VT_DATE) {
        tk_log_write(1, "Processing VT_DATE, size=%d", int(size));
        return vartype == VT_DATE || (vartype == VT_BSTR && size == 19);
    }
    if (is_text(dv)) {
        if (is_text(vartype)) {
            tk_log_write(1, "Src and dest columns are both text");
            return !(d.size != 0 && d.size < size && d.size < 65535);
        }
        return !is_binary(vartype);
    }
    if (is_binary(dv)) {
        if (is_text(vartype) || is_binary(vartype)) {
            tk_log_write(1, "Src is BLOB and dest is TEXT");
            return !(d.size != 0 && d.size < size);
        }
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- udb_schema

udb_schema::udb_schema(bool owns) : owns_descriptors(owns)
{
    tk_log_write(1, "udb_schema::ctor");
}

void udb_schema::copy_from(const udb_schema& other)
{
    auto_seed = other.auto_seed;
    auto_increment = other.auto_increment;
    reserve(other.size());
    for (const t_ftd* f : other)
        std::vector<t_ftd*>::push_back(owns_descriptors && f ? new t_ftd(*f) : const_cast<t_ftd*>(f));
}

udb_schema::udb_schema(const udb_schema& other)
    : std::vector<t_ftd*>(), owns_descriptors(other.owns_descriptors)
{
    copy_from(other);
}

udb_schema& udb_schema::operator=(const udb_schema& other)
{
    if (this != &other) {
        reset();
        copy_from(other);
    }
    return *this;
}

udb_schema::udb_schema(udb_schema&& other) noexcept
    : std::vector<t_ftd*>(std::move(other)), auto_seed(other.auto_seed),
      auto_increment(other.auto_increment), owns_descriptors(other.owns_descriptors)
{
    other.clear();
}

udb_schema& udb_schema::operator=(udb_schema&& other) noexcept
{
    if (this != &other) {
        reset();
        std::vector<t_ftd*>::operator=(std::move(other));
        other.clear();
        owns_descriptors = other.owns_descriptors;
        auto_seed = other.auto_seed;
        auto_increment = other.auto_increment;
    }
    return *this;
}

udb_schema::~udb_schema()
{
    tk_log_write(1, "udb_schema::dtor");
    if (owns_descriptors)
        for (t_ftd* f : *this)
            delete f;
    clear();
    tk_log_write(1, "udb_schema::dtor - at the end");
}

void udb_schema::reset()
{
    tk_log_write(1, "udb_schema::reset");
    if (owns_descriptors)
        for (t_ftd* f : *this)
            delete f;
    clear();
    tk_log_write(1, "udb_schema::reset - END");
}

bool udb_schema::find_field(const std::wstring& name) const
{
    tk_log_write_w(1, L"udb_schema::find_field(%ls)", name.c_str());
    tk_log_write(1, "Schema size=%d", int(size()));
    for (std::size_t i = 0; i < size(); ++i) {
        const t_ftd* f = (*this)[i];
        tk_log_write(1, "Iterating field #%d", int(i));
        if (!f)
            continue;
        tk_log_write_w(1, L"Compare with field: '%ls'", f->name.c_str());
        if (udb_same_name(f->name, name)) {
            tk_log_write(1, "Field found!!!");
            return true;
        }
    }
    tk_log_write(1, "Field NOT found!!!");
    return false;
}

int udb_schema::get_field_idx(const std::wstring& name) const
{
    tk_log_write_w(1, L"udb_schema::get_field_idx(%ls)", name.c_str());
    for (std::size_t i = 0; i < size(); ++i) {
        const t_ftd* f = (*this)[i];
        if (f && udb_same_name(f->name, name))
            return static_cast<int>(i);
    }
    return -1;
}

t_ftd* udb_schema::get_field(const std::wstring& name)
{
    tk_log_write_w(1, L"udb_schema::get_field1(%ls)", name.c_str());
    for (t_ftd* f : *this)
        if (f && udb_same_name(f->name, name))
            return f;
    tk_log_write_w(2, L"Field '%ls' not found", name.c_str());
    return nullptr;
}

const t_ftd* udb_schema::get_field(const std::wstring& name) const
{
    tk_log_write_w(1, L"udb_schema::get_field2(%ls)", name.c_str());
    for (const t_ftd* f : *this)
        if (f && udb_same_name(f->name, name))
            return f;
    tk_log_write_w(2, L"Field '%ls' not found", name.c_str());
    return nullptr;
}

uint32_t udb_schema::get_field_size(const std::wstring& name) const
{
    tk_log_write_w(1, L"udb_schema::get_field_size(%ls)", name.c_str());
    const int i = get_field_idx(name);
    if (i < 0) {
        tk_log_write_w(3, L"Field '%ls' not found", name.c_str());
        return 0xFFFFFFFFu;
    }
    return (*this)[i]->size;
}

VARTYPE udb_schema::get_field_type(const std::wstring& name) const
{
    tk_log_write_w(1, L"udb_schema::get_field_type(%ls)", name.c_str());
    const int i = get_field_idx(name);
    if (i < 0) {
        tk_log_write_w(2, L"Field '%ls' not found", name.c_str());
        return VT_NULL;
    }
    return (*this)[i]->vartype;
}

bool udb_schema::conform_to(const udb_schema& dest, bool by_name) const
{
    tk_log_write(1, "udb_schema::conform_to");
    if (size() != dest.size()) {
        tk_log_write(2, "Tables are not conformed: src_size=%d, dest_size=%d", int(size()),
                     int(dest.size()));
        return false;
    }
    for (std::size_t i = 0; i < size(); ++i) {
        const t_ftd* s = (*this)[i];
        const t_ftd* d = nullptr;
        if (!s)
            return false;
        if (by_name) {
            d = dest.get_field(s->name);
            if (!d) {
                tk_log_write_w(2, L"Field '%ls' is not found in record", s->name.c_str());
                return false;
            }
        } else {
            d = dest[i];
            if (!d)
                return false;
        }
        if (!s->conform_to(*d)) {
            tk_log_write(2, "Column #%d doesn't conform (src_vt=%d, src_size=%d, dest_vt=%d, dest_size=%d)",
                         int(i + 1), int(s->vartype), int(s->size), int(d->vartype), int(d->size));
            return false;
        }
    }
    return true;
}
