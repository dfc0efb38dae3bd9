// StopAsked: how code below the binding learns, while it waits on a file, that
// the caller wants it to give up (a Ctrl-C in the interpreter above).
#pragma once

#include <functional>

namespace tm_data {

// Asked about every 10 ms while a file operation waits for something that may
// never come (a FIFO without a reader or writer, a writer that stalls); true
// gives the wait up. Empty: wait as long as it takes.
using StopAsked = std::function<bool()>;

}  // namespace tm_data
