#pragma once

#include "account/portal_client.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace quillmarch {

// What the graphics source decides without touching OBS: the entries of its
// output list, which output a choice refers to, the size it renders at and
// the settings of the browser inside it.

struct GraphicsListItem {
	QString text;
	QString value;
};

// The output list for a source whose settings hold `outputId` and
// `outputName`: the account's outputs in order, the stored choice on top
// when the account no longer lists it (so it stays visible while the list is
// empty or changed), or a single `noneText` item with an empty value.
QList<GraphicsListItem> graphicsListItems(const QList<GraphicsOutput> &outputs,
					  const QString &outputId,
					  const QString &outputName,
					  const QString &noneText);

// The output to copy into the settings when the user picks `outputId`, or
// none when nothing needs to change: the id is empty or not on the account,
// or that output is already in place (its address is `currentUrl`). The
// last keeps a size the user typed when OBS re-applies the choice on
// opening the property page.
std::optional<GraphicsOutput>
graphicsChoice(const QList<GraphicsOutput> &outputs, const QString &outputId,
	       const QString &currentUrl);

constexpr int kGraphicsDefaultWidth = 1920;
constexpr int kGraphicsDefaultHeight = 1080;
constexpr int kGraphicsMinSize = 16;
constexpr int kGraphicsMaxSize = 8192;

// A stored width or height as rendered: below the minimum gives the
// default, above the maximum the maximum.
int graphicsWidth(long long setting);
int graphicsHeight(long long setting);

// Settings of the inner browser source for one output address and size:
// 30 frames a second, transparent page, audio left alone, kept running.
QJsonObject graphicsBrowserSettings(const QString &url, int width, int height);

// The status line under the list. `found` holds "%1" for the count.
QString graphicsStatusText(bool appReady, bool signedIn,
			   const QString &outputsError, int count,
			   const QString &signInText, const QString &found);

} // namespace quillmarch
