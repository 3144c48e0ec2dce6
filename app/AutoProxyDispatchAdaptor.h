#pragma once

#include <QDBusAbstractAdaptor>

namespace kestrane {

/// The automation object's dispatch interface. It has no methods, properties
/// or signals: a client finds the interface, and every call to it fails as a
/// call to an unknown method does. Owned by the object it is made for.
class AutoProxyDispatchAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "Tavrin.Application.Dispatch")
    // Qt leaves an interface without members out of the introspection data.
    Q_CLASSINFO("D-Bus Introspection", "  <interface name=\"Tavrin.Application.Dispatch\">\n"
                                       "  </interface>\n")

public:
    explicit AutoProxyDispatchAdaptor(QObject* object) : QDBusAbstractAdaptor(object) {}
};

} // namespace kestrane
