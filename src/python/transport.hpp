// The asyncio transport of corvalink.aio: SerialTransport (built at run time
// as a subclass of asyncio.Transport over the native _TransportCore) and the
// connection helpers.
#pragma once

#include "python/python.hpp"

namespace corvalink {

// corvalink.aio: the module __getattr__ that serves SerialTransport (listed in
// __all__ in its place), then create_serial_connection, connection_for_serial
// and open_serial_connection.
int add_transport_members(PyObject* aio);

}  // namespace corvalink
