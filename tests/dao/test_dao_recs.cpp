// Access recordsets: column definitions, keys and row values against the expected files.
#include "tests/dao/dao_test_env.h"

using daotests::open_corpus;
using drav_test::scratch_dir;
using daotests::wide;

namespace {

const t_ftd& column(const udb_recordset& rs, const std::wstring& name)
{
    const t_ftd* f = rs.get_schema().get_field(name);
    if (!f)
        throw std::runtime_error("no column " + tk_to_utf8(name));
    return *f;
}

const char* const value_files[] = {
    "mdb-reader/data/V1997/test.mdb",
    "mdb-reader/data/V2000/test.mdb",
    "mdb-reader/data/V2003/test.mdb",
    "mdb-reader/data/V2007/test.accdb",
    "mdb-reader/data/V2010/test.accdb",
    "mdb-reader/data/V2003/numeric.mdb",
    "mdb-reader/data/V2010/numeric.accdb",
    "mdb-reader/data/V2016/bigint.accdb",
    "mdb-reader/data/V2016/currency.accdb",
    "mdb-reader/data/V2016/longtext.accdb",
    "mdb-reader/data/V2016/attachments.accdb",
    "mdb-reader/data/V2016/withdeletedcol.accdb",
    "mdb-reader/data/V2016/withinsertedcol.accdb",
    "mdb-reader/data/real/ASampleDatabase.accdb",
    "mdb-reader/password/data/V2003_with-password.mdb",
    "jackcess/V1997/testV1997.mdb",
    "jackcess/V1997/overflowTestV1997.mdb",
    "jackcess/V2003/testV2003.mdb",
    "jackcess/V2003/overflowTestV2003.mdb",
    "jackcess/V2003/testUnicodeCompV2003.mdb",
    "jackcess/V2003/delColTestV2003.mdb",
    "jackcess/V2003/compIndexTestV2003.mdb",
    "jackcess/V2003/indexTestV2003.mdb",
    "jackcess/V2003/fixedNumericTestV2003.mdb",
    "jackcess/V2010/testEmoticonsV2010.accdb",
    "jackcess/V2010/complexDataTestV2010.accdb",
    "jackcess/V2010/calcFieldTestV2010.accdb",
    "jackcess/V2019/extDateTestV2019.accdb",
};

// Date/Time Extended values travel as automation dates, which hold about a microsecond: the
// expected 100-nanosecond text is matched to within two microseconds.
bool same_extended_date(const expected::json& e, const udb_field& f)
{
    if (e.type == expected::json::null_k)
        return f.is_null();
    if (f.get_type() != VT_DATE || e.text.size() != 27)
        return false;
    const SYSTEMTIME& t = f.get_date().get_systemtime();
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    if (expected::widen(buf) != e.text.substr(0, 19))
        return false;
    const long ticks = std::stol(expected::narrow(e.text.substr(20, 7)));
    long micro = f.get_date().microseconds();
    if (micro == 0)
        micro = t.wMilliseconds * 1000L;
    return std::labs(ticks / 10 - micro) <= 2;
}

} // namespace

TEST(DaoDefaultRules, TableColumnDefaults)
{
    // ="abc" on a text column: the expression form and the quotes go.
    auto r = dao_apply_default_rules(dbText, 50, L"=\"abc\"", L"", 0);
    EXPECT_EQ(r.text, L"abc");
    r = dao_apply_default_rules(dbText, 50, L"='abc'", L"", 0);
    EXPECT_EQ(r.text, L"abc");
    r = dao_apply_default_rules(dbText, 50, L"\"quoted\"", L"", 0);
    EXPECT_EQ(r.text, L"quoted");
    // Too long for a Text(5): no default.
    r = dao_apply_default_rules(dbText, 5, L"\"abcdef\"", L"", 3);
    EXPECT_EQ(r.text, L"");
    r = dao_apply_default_rules(dbText, 5, L"\"abcde\"", L"", 3);
    EXPECT_EQ(r.text, L"abcde");

    // Dates: # signs go; Now(), Date(), Time() refine the column.
    r = dao_apply_default_rules(dbDate, 8, L"#2001-02-03#", L"", 0);
    EXPECT_EQ(r.text, L"2001-02-03");
    EXPECT_EQ(r.dw_reserved, 1);
    r = dao_apply_default_rules(dbDate, 8, L"Now()", L"Short Date", 0);
    EXPECT_EQ(r.dw_reserved, 10);
    r = dao_apply_default_rules(dbDate, 8, L"=Now()", L"long time", 0);
    EXPECT_EQ(r.dw_reserved, 11);
    r = dao_apply_default_rules(dbDate, 8, L"now()", L"", 0);
    EXPECT_EQ(r.dw_reserved, 9);
    r = dao_apply_default_rules(dbDate, 8, L"Date()", L"", 0);
    EXPECT_EQ(r.dw_reserved, 10);
    r = dao_apply_default_rules(dbDate, 8, L"Time()", L"", 0);
    EXPECT_EQ(r.dw_reserved, 11);
    r = dao_apply_default_rules(dbDate, 8, L"", L"Medium Date", 0);
    EXPECT_EQ(r.dw_reserved, 2);
    r = dao_apply_default_rules(dbDate, 8, L"", L"Short Time", 0);
    EXPECT_EQ(r.dw_reserved, 3);

    // A date display format on a text or number column changes nothing.
    r = dao_apply_default_rules(dbText, 20, L"", L"Short Date", 0);
    EXPECT_EQ(r.dw_reserved, 0);
    r = dao_apply_default_rules(dbLong, 4, L"", L"Long Time", 0);
    EXPECT_EQ(r.dw_reserved, 0);

    // Yes/No formatted On/Off with the default On.
    r = dao_apply_default_rules(dbBoolean, 1, L"On", L"On/Off", 0);
    EXPECT_TRUE(r.on_off_default);
    r = dao_apply_default_rules(dbBoolean, 1, L"Off", L"On/Off", 0);
    EXPECT_FALSE(r.on_off_default);
}

TEST(DaoField, EngineTypesToVariantTypes)
{
    EXPECT_EQ(get_vartype(dbBoolean), VT_BOOL);
    EXPECT_EQ(get_vartype(dbByte), VT_UI1);
    EXPECT_EQ(get_vartype(dbInteger), VT_I2);
    EXPECT_EQ(get_vartype(dbLong), VT_I4);
    EXPECT_EQ(get_vartype(dbCurrency), VT_CY);
    EXPECT_EQ(get_vartype(dbSingle), VT_R4);
    EXPECT_EQ(get_vartype(dbDouble), VT_R8);
    EXPECT_EQ(get_vartype(dbFloat), VT_R8);
    EXPECT_EQ(get_vartype(dbDate), VT_DATE);
    EXPECT_EQ(get_vartype(dbTime), VT_DATE);
    EXPECT_EQ(get_vartype(dbText), VT_BSTR);
    EXPECT_EQ(get_vartype(dbMemo), VT_BSTR);
    EXPECT_EQ(get_vartype(dbBigInt), VT_I8);
    EXPECT_EQ(get_vartype(dbDecimal), VT_DECIMAL);
    EXPECT_EQ(get_vartype(dbNumeric), VT_DECIMAL);
    EXPECT_EQ(get_vartype(dbComplexText), VT_BSTR);
    for (int t : {int(dbBinary), int(dbLongBinary), int(dbGUID), int(dbAttachment), 13, 14, 17, 23})
        EXPECT_EQ(get_vartype(t), VT_ARRAY | VT_UI1) << t;
}

TEST(DaoRecordset, EveryTableReadsAsTheExpectedRows)
{
    DRAV_TESTDATA_OR_SKIP(any, "mdb-reader/data/V2003/test.mdb");
    int tables = 0;
    long cells = 0;
    for (const char* rel : value_files) {
        const std::string path = drav_test::testdata(rel);
        const std::string exp = drav_test::testdata(std::string("expected/values/") + rel + ".jsonl");
        if (path.empty() || exp.empty())
            continue;
        SCOPED_TRACE(rel);
        const auto lines = expected::read_lines(exp);
        scratch_dir dir("dao-recs");
        dao_engine engine(1, 0);
        const std::wstring password =
            std::string(rel).find("with-password") != std::string::npos ? L"password" : L"";
        auto db = open_corpus(engine, path, 0x81, password);
        for (const expected::json& header : lines) {
            if (!header.get("columns") || header.get("row"))
                continue;
            const std::wstring table = header["table"].text;
            if (!db->is_table_exist(table))
                continue;
            SCOPED_TRACE(expected::narrow(table));
            auto rs = db->get_table(table, 1);
            ASSERT_NE(rs, nullptr);
            const auto rows = expected::table_rows(lines, table);
            // The expected files may list the columns in another order: match them by name.
            const auto& names = header["columns"].items;
            ASSERT_EQ(rs->get_schema().size(), names.size());
            std::vector<std::size_t> at(names.size());
            for (std::size_t k = 0; k < names.size(); ++k) {
                const int pos = rs->get_schema().get_field_idx(names[k].items[0].text);
                ASSERT_GE(pos, 0) << expected::narrow(names[k].items[0].text);
                at[static_cast<std::size_t>(pos)] = k;
            }
            EXPECT_EQ(rs->get_record_count(), rows.size());
            std::size_t n = 0;
            for (rs->reset(); !rs->is_eof(); rs->next(), ++n) {
                udb_record* r = rs->get_item();
                ASSERT_LT(n, rows.size());
                ASSERT_EQ(r->size(), rows[n].size());
                for (std::size_t c = 0; c < r->size(); ++c, ++cells) {
                    const expected::json& cell = rows[n][at[c]];
                    const bool extended = names[at[c]].items[1].text == L"EXT_DATE_TIME";
                    EXPECT_TRUE(extended ? same_extended_date(cell, *(*r)[c])
                                         : daotests::same_cell(cell, *(*r)[c]))
                        << "row " << n << " column " << expected::narrow((*r)[c]->get_name())
                        << ": expected " << expected::show(cell) << ", got "
                        << expected::narrow((*r)[c]->to_wstring());
                    EXPECT_EQ((*r)[c]->get_name(), rs->get_schema()[c]->name);
                }
            }
            EXPECT_EQ(n, rows.size());
            ++tables;
        }
    }
    EXPECT_GT(tables, 30);
    EXPECT_GT(cells, 1000);
}

TEST(DaoRecordset, ColumnTypesSizesAndKeys)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V2003/testV2003.mdb");
    scratch_dir dir("dao-recs");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, path);
    auto t1 = db->get_table(L"Table1", 1);
    EXPECT_EQ(column(*t1, L"A").vartype, VT_BSTR);
    EXPECT_EQ(column(*t1, L"A").size, 50u);  // characters
    EXPECT_EQ(column(*t1, L"C").vartype, VT_UI1);
    EXPECT_EQ(column(*t1, L"D").vartype, VT_I2);
    EXPECT_EQ(column(*t1, L"E").vartype, VT_I4);
    EXPECT_EQ(column(*t1, L"F").vartype, VT_R8);
    EXPECT_EQ(column(*t1, L"G").vartype, VT_DATE);
    EXPECT_EQ(column(*t1, L"G").dw_reserved, 1);
    EXPECT_EQ(column(*t1, L"I").vartype, VT_BOOL);
    const t_ftd& money = column(*t1, L"H");
    EXPECT_EQ(money.vartype, VT_CY);
    EXPECT_EQ(money.precision, 19u);
    EXPECT_EQ(money.scale, 4u);
    EXPECT_EQ(money.def_value.get_type(), VT_CY);
    EXPECT_EQ(column(*t1, L"E").def_value.to_long(), 0);
    // The primary key and a plain index; key columns are not null.
    const udb_indexes& idx = t1->get_indexes();
    ASSERT_EQ(idx.size(), 2u);
    EXPECT_TRUE(idx.get_index(L"PrimaryKey").primary_key);
    EXPECT_EQ(idx.get_index(L"PrimaryKey").fields, std::vector<std::wstring>{L"A"});
    EXPECT_FALSE(idx.get_index(L"B").unique);
    EXPECT_TRUE(column(*t1, L"A").b_not_null);
    EXPECT_FALSE(column(*t1, L"B").b_not_null);

    auto t3 = db->get_table(L"Table3", 1);
    EXPECT_TRUE(column(*t3, L"a").b_not_null);

    // GUID columns: 38-character text.
    auto t4 = db->get_table(L"Table4", 1);
    const t_ftd& guid = column(*t4, L"data");
    EXPECT_EQ(guid.vartype, VT_BSTR);
    EXPECT_EQ(guid.size, 38u);
    EXPECT_EQ(guid.dw_reserved, 1);
    EXPECT_TRUE(guid.def_value.is_empty());
}

TEST(DaoRecordset, LargeNumberCurrencyAndDecimalColumns)
{
    DRAV_TESTDATA_OR_SKIP(bigint, "mdb-reader/data/V2016/bigint.accdb");
    DRAV_TESTDATA_OR_SKIP(numeric, "mdb-reader/data/V2010/numeric.accdb");
    scratch_dir dir("dao-recs");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, bigint);
    auto rs = db->get_table(L"Table", 1);
    EXPECT_EQ(column(*rs, L"Numeric").vartype, VT_I8);
    ASSERT_FALSE(rs->is_eof());
    EXPECT_EQ(rs->get_item()->get_field(L"Numeric")->get_type(), VT_I8);

    auto db2 = engine.open_db(wide(numeric), 0x81, L"");
    auto rs2 = db2->get_table(L"test", 1);
    const t_ftd& dec = column(*rs2, L"col2");
    EXPECT_EQ(dec.vartype, VT_DECIMAL);
    EXPECT_EQ(dec.precision, 18u);
    EXPECT_EQ(dec.scale, 0u);
    ASSERT_FALSE(rs2->is_eof());
    EXPECT_EQ(rs2->get_item()->get_field(L"col2")->get_type(), VT_DECIMAL);
}

TEST(DaoRecordset, DecimalColumnsKeepTheirDigits)
{
    DRAV_TESTDATA_OR_SKIP(schema, "expected/schema.jsonl");
    int checked = 0;
    for (const expected::json& file : expected::read_lines(schema)) {
        const std::string rel = expected::narrow(file["file"].text);
        const std::string path = drav_test::testdata(rel);
        if (path.empty() || rel.find("password") != std::string::npos ||
            rel.find("encryption") != std::string::npos)
            continue;
        for (const auto& t : file["tables"].items) {
            for (const auto& c : t["columns"].items) {
                if (c["type"].text != L"NUMERIC" || c["calc"].b)
                    continue;
                SCOPED_TRACE(rel + " " + expected::narrow(c["name"].text));
                scratch_dir dir("dao-recs");
                dao_engine engine(1, 0);
                auto db = open_corpus(engine, path, 0x81);
                auto rs = db->get_table(t["name"].text, 1);
                ASSERT_NE(rs, nullptr);
                const t_ftd& col = column(*rs, c["name"].text);
                EXPECT_EQ(col.vartype, VT_DECIMAL);
                EXPECT_EQ(col.precision, static_cast<uint32_t>(c["prec"].number));
                EXPECT_EQ(col.scale, static_cast<uint32_t>(c["scale"].number));
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 20);
}

TEST(DaoRecordset, AttachmentColumns)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/V2016/attachments.accdb");
    scratch_dir dir("dao-recs");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, path);
    auto rs = db->get_table(L"Table1", 1);
    const t_ftd& att = column(*rs, L"Attachments");
    EXPECT_EQ(att.dw_reserved, 101);
    EXPECT_EQ(att.size, 0u);
    rs->reset();
    ASSERT_FALSE(rs->is_eof());
    EXPECT_TRUE(rs->get_item()->get_field(L"Attachments")->is_null());
    rs->next();
    ASSERT_FALSE(rs->is_eof());
    const udb_field* f = rs->get_item()->get_field(L"Attachments");
    ASSERT_TRUE(f->is_binary());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f->binary_data()), f->binary_size()),
              "Attachment 1");
    // Of several attachments the first is kept.
    rs->next();
    ASSERT_FALSE(rs->is_eof());
    f = rs->get_item()->get_field(L"Attachments");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f->binary_data()), f->binary_size()),
              "Attachment 1");
    rs->next();
    EXPECT_TRUE(rs->is_eof());
    // A second walk starts again from the first row.
    rs->reset();
    EXPECT_FALSE(rs->is_eof());
}

TEST(DaoRecordset, ForeignKeyIndexesAreNotIndexes)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V2003/indexTestV2003.mdb");
    scratch_dir dir("dao-recs");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, path);
    auto rs = db->get_table(L"Table1", 1);
    for (const udb_index& i : rs->get_indexes())
        for (const auto& f : i.fields)
            EXPECT_TRUE(f != L"otherfk1" || !i.name.empty()) << expected::narrow(i.name);
    EXPECT_FALSE(rs->get_indexes().empty());
    for (const udb_index& i : rs->get_indexes())
        EXPECT_EQ(i.name.find(L"Table2Table1"), std::wstring::npos);
}

TEST(DaoField, DayZeroPrintsAsTime)
{
    DRAV_TESTDATA_OR_SKIP(path, "mdb-reader/data/real/ASampleDatabase.accdb");
    scratch_dir dir("dao-recs");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, path, 0x81);
    auto rs = db->get_query(L"Times",
                            L"SELECT TOP 1 #1899-12-30 14:00:00# AS t, #1899-12-30# AS d, "
                            L"#2001-02-03 04:05:06# AS dt FROM [Asset Items]",
                            1);
    ASSERT_FALSE(rs->is_eof());
    udb_record* r = rs->get_item();
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[0]->to_string(), "0000-00-00 14:00:00");
    EXPECT_EQ((*r)[1]->to_string(), "00:00:00");
    EXPECT_EQ((*r)[2]->to_string(), "2001-02-03 04:05:06");
    EXPECT_EQ((*r)[0]->to_wstring(), L"0000-00-00 14:00:00");
    EXPECT_EQ(rs->get_schema()[0]->vartype, VT_DATE);
    EXPECT_EQ(rs->get_schema()[0]->dw_reserved, 1);
}

TEST(DaoField, AValueThatCannotBeReadIsAnError)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V2003/testV2003.mdb");
    scratch_dir dir("dao-recs");
    dao_engine engine(1, 0);
    engine.set_version_smart(wide(path));
    engine.set_anonymous_sys_db();
    // The columns of a table definition have no value: the engine refuses to read one.
    dao_bstr name(wide(path));
    ole_com_ptr<DAODatabase> db;
    dao_call(engine.get_engine()->OpenDatabase(name, dao_var_bool(false), dao_var_bool(true),
                                               dao_var_missing(), &db),
             db);
    ole_com_ptr<DAOTableDefs> tables;
    dao_call(db->get_TableDefs(&tables), tables);
    VARIANT item = dao_var_text(L"Table1");
    ole_com_ptr<_DAOTableDef> table;
    dao_call(tables->get_Item(item, &table), table);
    VariantClear(&item);
    ole_com_ptr<DAOFields> fields;
    dao_call(table->get_Fields(&fields), fields);
    ole_com_ptr<_DAOField> field;
    dao_call(fields->get_Item(dao_var_int(7), &field), field);

    try {
        dao_field row_cell(field.get());
        ADD_FAILURE() << "a value that cannot be read became " << row_cell.to_string();
    } catch (const dao_exception& e) {
        EXPECT_EQ(e.code(), 0x10000 + 3219);
    }
    // As a column definition it has a name, flags and a declared type, and no value.
    dao_field definition(field.get(), true);
    EXPECT_EQ(definition.get_name(), L"H");
    EXPECT_TRUE(definition.is_empty());
    EXPECT_EQ(definition.get_type(), VT_CY);
    EXPECT_EQ(definition.size, 8u);
    dao_record all(fields.get(), true);
    EXPECT_EQ(all.size(), 9u);
    EXPECT_THROW(dao_record(fields.get()), dao_exception);
    EXPECT_THROW(dao_record(nullptr), tk_mail_assertion);
    EXPECT_THROW(dao_field(nullptr), tk_mail_assertion);
    db->Close();
}

TEST(DaoRecordset, ComplexColumnsAreNoCountersAndCarryNoKeys)
{
    DRAV_TESTDATA_OR_SKIP(path, "jackcess/V2010/complexDataTestV2010.accdb");
    scratch_dir dir("dao-recs");
    dao_engine engine(1, 0);
    auto db = open_corpus(engine, path, 0x81);
    auto rs = db->get_table(L"Table1", 1);
    for (const t_ftd* f : rs->get_schema()) {
        EXPECT_FALSE(f->b_auto_num) << expected::narrow(f->name);
        EXPECT_EQ(f->b_not_null, f->name == L"id") << expected::narrow(f->name);
    }
    ASSERT_EQ(rs->get_indexes().size(), 1u);
    EXPECT_TRUE(rs->get_indexes()[0].primary_key);
    EXPECT_EQ(rs->get_indexes()[0].fields, std::vector<std::wstring>{L"id"});
    // Rows carry the same flags.
    ASSERT_FALSE(rs->is_eof());
    for (const udb_field* f : *rs->get_item())
        EXPECT_FALSE(f->b_auto_num) << expected::narrow(f->get_name());

    // A real counter keeps its flag.
    DRAV_TESTDATA_OR_SKIP(att, "mdb-reader/data/V2016/attachments.accdb");
    dao_engine ace(1, 0);
    auto db2 = open_corpus(ace, att, 0x81);
    auto rs2 = db2->get_table(L"Table1", 1);
    EXPECT_TRUE(column(*rs2, L"ID").b_auto_num);
    EXPECT_FALSE(column(*rs2, L"Attachments").b_auto_num);
    for (const udb_index& i : rs2->get_indexes())
        EXPECT_EQ(std::find(i.fields.begin(), i.fields.end(), L"Attachments"), i.fields.end());
    EXPECT_TRUE(dao_is_complex_column(dbAttachment, 0));
    EXPECT_TRUE(dao_is_complex_column(dbMemo, dbAutoIncrField));
    EXPECT_FALSE(dao_is_complex_column(dbLong, dbAutoIncrField));
    EXPECT_FALSE(dao_is_complex_column(dbGUID, dbAutoIncrField));
}
