#include "TK/tk_log.h"
#include "UDB/udb_db.h"
#include "UDB/udb_name.h"

namespace {

// Element count of a one-dimensional array value, or -1 when the value is
// not one.
long byte_array_count(const ole_variant& v)
{
    const VARTYPE vt = v.get_type();
    if (vt != VT_SAFEARRAY && vt != VT_BLOB && vt != (VT_ARRAY | VT_UI1))
        return -1;
    const SAFEARRAY* array = v.variant().parray;
    if (!array || SafeArrayGetDim(array) != 1)
        return -1;
    return static_cast<long>(ole_variant::get_safe_array_size(array));
}

long text_length(const ole_variant& v)
{
    return static_cast<long>(SysStringLen(v.variant().bstrVal));
}

} // namespace

// ---------------------------------------------------------------- udb_field

udb_field::udb_field()
{
    tk_log_write(1, "udb_field::empty ctor");
}

udb_field::udb_field(const std::wstring& name_, uint32_t size_, const ole_variant& value,
                     bool not_null, bool auto_num)
    : ole_variant(value), size(size_), name(name_), b_not_null(not_null), b_auto_num(auto_num)
{
    tk_log_write(1, "udb_field::ctor #2");
    tk_log_write_w(1, L"name=%ls, size=%d", name.c_str(), int(size));
}

udb_field::udb_field(const udb_field& o)
    : ole_variant(o), size(o.size), name(o.name), b_not_null(o.b_not_null),
      b_auto_num(o.b_auto_num)
{
    tk_log_write(1, "udb_field::copy ctor");
}

udb_field& udb_field::operator=(const udb_field& o)
{
    if (this != &o) {
        ole_variant::operator=(o);
        size = o.size;
        name = o.name;
        b_not_null = o.b_not_null;
        b_auto_num = o.b_auto_num;
    }
    return *this;
}

udb_field::~udb_field() = default;

VARTYPE udb_field::get_type() const
{
    tk_log_write(1, "ole_variant::get_type");
    return ole_variant::get_type();
}

uint32_t udb_field::get_size() const
{
    const long n = byte_array_count(*this);
    if (n >= 0)
        return static_cast<uint32_t>(n);
    if (get_type() == VT_BSTR && ole_variant::get_type() == VT_BSTR)
        return static_cast<uint32_t>(text_length(*this));
    return size;
}

// ---------------------------------------------------------------- udb_record

udb_record::~udb_record()
{
    tk_log_write(1, "udb_record::dtor");
    reset();
}

void udb_record::reset()
{
    tk_log_write(1, "udb_record::reset");
    for (udb_field* f : *this)
        delete f;
    clear();
}

bool udb_record::find_field(const std::wstring& name) const
{
    tk_log_write_w(1, L"udb_record::find_field(%ls)", name.c_str());
    for (const udb_field* f : *this) {
        if (!f)
            continue;
        tk_log_write_w(1, L"Processing %ls", f->name.c_str());
        if (udb_same_name(f->name, name))
            return true;
    }
    return false;
}

udb_field* udb_record::get_field(const std::wstring& name) const
{
    tk_log_write_w(1, L"udb_record::get_field(%ls)", name.c_str());
    for (std::size_t i = 0; i < size(); ++i) {
        udb_field* f = (*this)[i];
        if (f && udb_same_name(f->name, name)) {
            tk_log_write(1, "Field found at pos=%d", int(i));
            return f;
        }
    }
    return nullptr;
}
