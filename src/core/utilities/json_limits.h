#pragma once

namespace qd {

// Nesting bound (objects and arrays inside one another) of every recursive reader
// and writer of JSON written by someone else. No real settings, credential,
// bridge, transcript or protocol document comes near it; deeper input is refused
// as a whole, like input that is not JSON.
inline constexpr int kMaxJsonDepth = 128;

}  // namespace qd
