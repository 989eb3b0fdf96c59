// Both D-Bus methods with parameter tuples made of the input's bytes in the serialised form of
// "(sqyuyst)" and of "(tadax)". The bytes are not checked first: GLib reads data that is not
// in normal form as the type's default values, and the handler must cope with whatever it gets.
#include <glib.h>
#include <glibmm/variant.h>

#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"
#include "inputs/dbus/DBusMethodHandler.h"

namespace {

Glib::VariantContainerBase tupleFrom(const char* type, const uint8_t* data, size_t size) {
    // GLib may read the bytes in place, so they get a copy that lives as long as the value.
    gpointer copy = g_memdup2(data, size);
    GVariant* value =
        g_variant_new_from_data(G_VARIANT_TYPE(type), copy, size, FALSE, g_free, copy);
    // The wrapper sinks the floating reference and owns the value.
    return Glib::VariantContainerBase(value, false);
}

void requireType(Glib::VariantContainerBase reply, const char* type) {
    if (!reply.gobj() || !g_variant_is_of_type(reply.gobj(), G_VARIANT_TYPE(type))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (datalogger::fuzz::silenceLogging(), true);
    (void)quiet;
    static quorix::pelmo::datalogger::DBusMethodHandler handler(
        std::make_shared<datalogger::fuzz::FakePush>());
    requireType(handler.registerOrUpdateChannel(tupleFrom("(sqyuyst)", data, size)), "(tq)");
    requireType(handler.pushData(tupleFrom("(tadax)", data, size)), "(q)");
    return 0;
}
