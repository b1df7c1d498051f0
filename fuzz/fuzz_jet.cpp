// Fuzz target: any byte string opened as an Access database and read through. The reader may refuse
// the input only with jet::error; anything else (a crash, a sanitizer report, another exception, a hang)
// is a fault.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/jet/jet_database.h"
#include "platform/jet/jet_index_key.h"
#include "platform/jet/jet_index_walk.h"
#include "platform/jet/jet_query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> image(data, data + size);
    try {
        auto db = jet::database::open_image(std::move(image), "fuzz.mdb");
        std::size_t budget = 20000;  // rows per input, so that one input stays quick
        for (const jet::catalog_entry* e : db->tables(true)) {
            if (e->kind() != jet::object_kind::table) continue;
            try {
                auto def = db->table(e->name);
                std::vector<jet::index_key_layout> keys;
                for (const auto& x : def->indexes) {
                    keys.push_back(jet::key_layout(db->format(), *def, x));
                    try {
                        jet::walk_index(db->file(), x.root_page, def->tdef_page, [](const jet::index_entry&) {});
                    } catch (const jet::error&) {
                        // A damaged index; the rows may still read.
                    }
                }
                auto cur = db->rows(def);
                cur.report_losses(true);   // as a conversion reads: losses come as rows of their own
                std::vector<std::uint8_t> key;
                while (budget > 0 && cur.next()) {
                    --budget;
                    for (const auto& v : cur.values()) (void)v.to_wstring();
                    for (const auto& k : keys) jet::encode_key(k, cur.values(), key);
                }
            } catch (const jet::error&) {
                // A damaged table; the others may still read.
            }
        }
        try {
            (void)jet::read_queries(*db);
        } catch (const jet::error&) {
        }
    } catch (const jet::error&) {
    }
    return 0;
}
