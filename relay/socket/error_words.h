// A relay error number said as Linux says it ("connection refused"), for
// replies that a person reads.
#pragma once

#include <string>

namespace vantelo::relay {

// Lower case, no full stop. A number that has no errno of its own keeps the
// text of the error table.
std::string ErrorInWords(int errorNumber);

}  // namespace vantelo::relay
