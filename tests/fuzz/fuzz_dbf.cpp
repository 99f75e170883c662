#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/DbfTable.h"
#include "platform/Error.h"

// Any bytes as a table: reading them must end in a table or an Error, never a crash, a read past the
// data or a huge allocation. Every field of every record is read each way, then a filter is applied
// on the first field with a value taken from the data.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        thg::DbfTable table =
            thg::DbfTable::parse(std::string(reinterpret_cast<const char*>(data), size), "FUZZ.DBF");
        std::string lastText;
        for (table.first(); !table.eof(); table.next()) {
            for (int field = 0; field < table.fieldCount(); ++field) {
                lastText = table.text(field);
                try {
                    (void)table.integer(field);
                    (void)table.number(field);
                } catch (const thg::Error&) {
                }
            }
        }
        if (table.fieldCount() > 0) {
            table.setFilter(thg::filterExpression(table.fieldName(0), lastText));
            table.filterOn();
            for (; !table.eof(); table.next())
                (void)table.text(0);
            table.filterOff();
        }
    } catch (const thg::Error&) {
    }
    return 0;
}
