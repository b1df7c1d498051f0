// A row of an Access table or query (dao_record) and its cells (dao_field), read from the engine.
#pragma once
#include <string>

#include "OLE/ole_ptr.h"
#include "UDB/udb_db.h"
#include "platform/dao/daoapi.h"

// The variant type that values of an engine column type are carried in.
VARTYPE get_vartype(int dao_type);

// Whole-number types, the only ones that can count up by themselves.
bool dao_is_counter_type(int dao_type);
// Attachment, multi-valued and version-history columns: their values live in hidden tables and
// the engine keys them through the column itself.
bool dao_is_complex_column(int dao_type, long attributes);

// One cell: the engine field's name, size, flags and value.
class dao_field : public udb_field {
public:
    // A field of a row reads its value, and a value that cannot be read is an error. A field
    // of a table or query definition has no value: its read is skipped silently.
    explicit dao_field(_DAOField* field, bool definition = false);
    ~dao_field() override;

    // The value's type; for an empty value the type the column declares.
    VARTYPE get_type() const override;
    std::string to_string() const override;
    std::wstring to_wstring() const override;

    // The engine's type number of the column.
    int get_dao_type() const { return m_dao_type; }
    bool is_complex() const { return m_complex; }

    // Reads the value again, from the row the engine's field now stands on.
    void refresh();

private:
    void read_value();
    bool reads_in_place() const;
    void read_in_place();
    [[noreturn]] void throw_unreadable() const;
    void trace_plain(const VARIANT& v) const;
    void note_text_flaws(const VARIANT& v) const;
    void read_attachment(const VARIANT& value);
    void read_multi_value(const VARIANT& value);

    ole_com_ptr<_DAOField> m_field;
    int m_reserved = 0;
    int m_dao_type = 0;
    bool m_complex = false;
};

// One row: a dao_field per column, in column order.
class dao_record : public udb_record {
public:
    explicit dao_record(DAOFields* fields, bool definition = false);
    ~dao_record() override;

    // Reads every value again from the current row (the engine's fields follow the cursor);
    // the columns' names, sizes and flags stay as read at construction.
    void refresh();

private:
    ole_com_ptr<DAOFields> m_fields;
};
