// Writes the sample database of examples/ through the Access write operations of the database model:
// related tables with keys and indexes, memo and OLE values, dates, currency, decimals, GUIDs, Yes/No,
// non-Latin text and empty strings. Usage: make_sample OUTPUT.mdb (the file must not exist).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "TK/tk_excep.h"
#include "TK/tk_signal.h"
#include "TK/tk_utils.h"
#include "dao/dao_db.h"
#include "dao/dao_engi.h"

namespace {

t_ftd* column(const wchar_t* name, VARTYPE vt, uint32_t size, bool not_null = false)
{
    return new t_ftd(size, name, vt, not_null, false);
}

ole_variant date(int y, int m, int d, int hh = 0, int mm = 0, int ss = 0)
{
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(y);
    t.wMonth = static_cast<WORD>(m);
    t.wDay = static_cast<WORD>(d);
    t.wHour = static_cast<WORD>(hh);
    t.wMinute = static_cast<WORD>(mm);
    t.wSecond = static_cast<WORD>(ss);
    return ole_variant(ole_date(t));
}

ole_variant decimal(long long units, unsigned char scale)
{
    DECIMAL d{};
    d.scale = scale;
    d.sign = units < 0 ? DECIMAL_NEG : 0;
    d.Lo64 = static_cast<uint64_t>(units < 0 ? -units : units);
    return ole_variant::from_decimal(d);
}

ole_variant bytes(std::initializer_list<unsigned char> b)
{
    std::vector<unsigned char> v(b);
    return ole_variant(v.size(), v.data());
}

// One row: values in the schema's order.
void add(udb_recordset& rs, const udb_schema& schema, std::vector<ole_variant> values)
{
    udb_record r;
    for (std::size_t i = 0; i < values.size(); ++i)
        r.push_back(new udb_field(schema[i]->name, schema[i]->size, values[i]));
    rs.append_record(r);
}

void build(udb_database& db)
{
    udb_schema customers;
    customers.push_back(new t_ftd(4, L"ID", VT_I4, true, true));
    customers.push_back(column(L"Name", VT_BSTR, 60, true));
    customers.push_back(column(L"City", VT_BSTR, 40));
    customers.push_back(column(L"Since", VT_DATE, 8));
    customers.push_back(column(L"Active", VT_BOOL, 2));
    customers.push_back(column(L"Rowguid", VT_BSTR, 38));
    customers.push_back(column(L"Notes", VT_BSTR, 0));
    customers.back()->def_value = ole_variant(std::wstring(L"none"));
    udb_indexes ci;
    ci.push_back(udb_index(L"PrimaryKey", {L"ID"}, true, true));
    ci.push_back(udb_index(L"ByName", {L"Name"}, false, false));
    auto rs = db.create_table(L"Customers", customers, ci);
    add(*rs, rs->get_schema(), {ole_variant(1), ole_variant(std::wstring(L"Ann Smith")), ole_variant(std::wstring(L"Leeds")),
        date(2019, 3, 14, 9, 26, 53), ole_variant(true), ole_variant(std::wstring(L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}")),
        ole_variant(std::wstring(L"Prefers e-mail.\r\nSecond line."))});
    add(*rs, rs->get_schema(), {ole_variant(2), ole_variant(std::wstring(L"Δημήτρης Παπαδόπουλος")), ole_variant(std::wstring(L"Αθήνα")),
        date(2020, 1, 1), ole_variant(false), ole_variant(std::wstring(L"{0E984725-C51C-4BF4-9960-E1C80E27ABA0}")),
        ole_variant(std::wstring(L""))});
    add(*rs, rs->get_schema(), {ole_variant(3), ole_variant(std::wstring(L"山田 太郎")), ole_variant(std::wstring(L"東京")),
        date(1999, 12, 31, 23, 59, 59), ole_variant(true), ole_variant(), ole_variant(std::wstring(2000, L'ж'))});
    add(*rs, rs->get_schema(), {ole_variant(4), ole_variant(std::wstring(L"O'Brien \"Ltd\"")), ole_variant(std::wstring(L"")),
        ole_variant(), ole_variant(false), ole_variant(), ole_variant()});
    rs.reset();

    udb_schema products;
    products.push_back(column(L"Code", VT_BSTR, 10, true));
    products.push_back(column(L"Title", VT_BSTR, 100, true));
    products.push_back(column(L"Price", VT_CY, 8));
    products.push_back(column(L"Weight", VT_DECIMAL, 16));
    products.back()->precision = 10;
    products.back()->scale = 3;
    products.push_back(column(L"Stock", VT_I2, 2));
    products.push_back(column(L"Picture", VT_ARRAY | VT_UI1, 0));
    rs = db.create_table(L"Products", products, udb_indexes());
    add(*rs, rs->get_schema(), {ole_variant(std::wstring(L"P-100")), ole_variant(std::wstring(L"Kettle")),
        ole_variant::from_currency(249900), decimal(1250, 3), ole_variant(static_cast<short>(12)),
        bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0x0D})});
    add(*rs, rs->get_schema(), {ole_variant(std::wstring(L"P-200")), ole_variant(std::wstring(L"Чайник «Люкс»")),
        ole_variant::from_currency(1000000), decimal(-5, 3), ole_variant(static_cast<short>(0)), ole_variant()});
    add(*rs, rs->get_schema(), {ole_variant(std::wstring(L"P-300")), ole_variant(std::wstring(L"Teapot")),
        ole_variant::from_currency(5), decimal(123456789, 3), ole_variant(static_cast<short>(-3)), bytes({})});
    rs.reset();

    udb_schema orders;
    orders.push_back(new t_ftd(4, L"ID", VT_I4, true, true));
    orders.push_back(column(L"CustomerID", VT_I4, 4, true));
    orders.push_back(column(L"Ordered", VT_DATE, 8, true));
    orders.push_back(column(L"Total", VT_CY, 8));
    udb_indexes oi;
    oi.push_back(udb_index(L"PrimaryKey", {L"ID"}, true, true));
    oi.push_back(udb_index(L"ByCustomer", {L"CustomerID", L"Ordered"}, false, false));
    rs = db.create_table(L"Orders", orders, oi);
    add(*rs, rs->get_schema(), {ole_variant(10), ole_variant(1), date(2021, 6, 1, 12), ole_variant::from_currency(499800)});
    add(*rs, rs->get_schema(), {ole_variant(11), ole_variant(2), date(2021, 6, 2), ole_variant::from_currency(1000000)});
    add(*rs, rs->get_schema(), {ole_variant(12), ole_variant(1), date(1900, 1, 1), ole_variant()});
    rs.reset();

    udb_schema lines;
    lines.push_back(column(L"OrderID", VT_I4, 4, true));
    lines.push_back(column(L"Line", VT_I2, 2, true));
    lines.push_back(column(L"ProductCode", VT_BSTR, 10, true));
    lines.push_back(column(L"Quantity", VT_R8, 8));
    lines.push_back(column(L"Comment", VT_BSTR, 255));
    udb_indexes li;
    li.push_back(udb_index(L"PrimaryKey", {L"OrderID", L"Line"}, true, true));
    rs = db.create_table(L"OrderLines", lines, li);
    add(*rs, rs->get_schema(), {ole_variant(10), ole_variant(static_cast<short>(1)), ole_variant(std::wstring(L"P-100")),
        ole_variant(2.0), ole_variant(std::wstring(L"gift wrap"))});
    add(*rs, rs->get_schema(), {ole_variant(11), ole_variant(static_cast<short>(1)), ole_variant(std::wstring(L"P-200")),
        ole_variant(1.0), ole_variant(std::wstring(L""))});
    add(*rs, rs->get_schema(), {ole_variant(12), ole_variant(static_cast<short>(1)), ole_variant(std::wstring(L"P-300")),
        ole_variant(0.5), ole_variant()});
    rs.reset();

    udb_relationships rels;
    rels.push_back(udb_relationship(L"CustomersOrders", L"", L"Orders", L"Customers", {L"CustomerID"}, {L"ID"}, L""));
    rels.push_back(udb_relationship(L"OrdersOrderLines", L"", L"OrderLines", L"Orders", {L"OrderID"}, {L"ID"}, L""));
    // Products has no unique index on Code: one is made for this key.
    rels.push_back(udb_relationship(L"ProductsOrderLines", L"", L"OrderLines", L"Products", {L"ProductCode"}, {L"Code"}, L""));
    db.create_relationships(rels);
}

} // namespace

int main(int argc, char** argv)
{
    // A file-size limit fails the write (EFBIG): reported, the file left as the last flush left it,
    // instead of the process ending in the middle of a flush.
    tk_ignore_write_signals();
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample OUTPUT.mdb\n");
        return 2;
    }
    try {
        dao_engine engine(1, 0);
        if (!engine.set_version_if(0)) {
            std::fprintf(stderr, "make_sample: the Access 2000 engine class is not available\n");
            return 1;
        }
        auto db = engine.create_db(tk_utf8_to_wstring(argv[1]));
        build(*db);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_sample: %s\n", e.what());
        return 1;
    }
    return 0;
}
