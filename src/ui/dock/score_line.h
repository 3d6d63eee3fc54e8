#pragma once

#include <QString>

namespace quillmarch {

class LiveData;

// The dock's one-line summary of the live data, as plain text: the score
// ("2 – 1"), then the period, quarter, half, inning and clock that are set,
// joined by a spaced middle dot. Without any of those it names the first
// three fields ("shots: 12"); without fields it is empty.
QString scoreLine(const LiveData &data);

} // namespace quillmarch
