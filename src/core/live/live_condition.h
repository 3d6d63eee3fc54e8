#pragma once

#include <QString>

namespace quillmarch {

// A test of one live field, by which a visibility filter shows or hides its
// source: "possession equals home", "home_fouls greater 4", "clock not
// empty", optionally inverted.
//
// Equals and differs compare numbers as numbers when both sides read as
// numbers ("5" equals "5.0"), other text without regard to case and to
// surrounding spaces. Greater and less need numbers on both sides; with
// anything else they do not hold. A field the data does not have is empty.
// Without a field name the condition always holds, so a filter that has not
// been set up yet never hides its source.
struct LiveCondition {
	enum class Compare { Equals, Differs, Greater, Less, Empty, NotEmpty };

	QString field;
	Compare compare = Compare::Equals;
	QString value;
	bool invert = false;

	bool holds(const QString &fieldValue) const;

	// The keys a stored setting uses: "equals", "differs", "greater",
	// "less", "empty", "not_empty"; an unknown key reads as equals.
	static Compare compareFromKey(const QString &key);
	static QString keyOf(Compare compare);
};

} // namespace quillmarch
