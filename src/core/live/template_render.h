#pragma once

#include <QString>

namespace quillmarch {

class LiveData;

// Replaces every {name} placeholder (ASCII letters, digits, underscores) with
// the live field of that name; {sport} gives the live sport. Unknown fields,
// and every placeholder when there is no live data, become empty text. Any
// other brace is copied as typed: there is no escape syntax.
//
// A placeholder may add formats after a bar, {period|ordinal:4}; they work on
// the field's text (empty text as above) and are described with the syntax
// in live/field_format.h.
QString renderTemplate(const QString &tmpl, const LiveData *data);

} // namespace quillmarch
