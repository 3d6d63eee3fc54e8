#include "account/graphics_choice.h"

#include <cstdint>

namespace quillmarch {

namespace {

int sizeOrDefault(long long setting, int fallback)
{
	// Stored values are 64-bit; anything that does not fit the 32 bits
	// OBS sizes have is as unusable as a too small one.
	const auto value = static_cast<int32_t>(setting);
	if (value != setting || value < kGraphicsMinSize)
		return fallback;
	return value > kGraphicsMaxSize ? kGraphicsMaxSize : value;
}

} // namespace

QList<GraphicsListItem> graphicsListItems(const QList<GraphicsOutput> &outputs,
					  const QString &outputId,
					  const QString &outputName,
					  const QString &noneText)
{
	QList<GraphicsListItem> items;
	bool matched = false;
	for (const GraphicsOutput &o : outputs) {
		items.append({o.name, o.id});
		matched = matched || o.id == outputId;
	}
	if (!outputId.isEmpty() && !matched)
		items.prepend({outputName.isEmpty() ? outputId : outputName,
			       outputId});
	if (items.isEmpty())
		items.append({noneText, QString()});
	return items;
}

std::optional<GraphicsOutput>
graphicsChoice(const QList<GraphicsOutput> &outputs, const QString &outputId,
	       const QString &currentUrl)
{
	if (outputId.isEmpty())
		return std::nullopt;
	for (const GraphicsOutput &o : outputs) {
		if (o.id == outputId)
			return o.shareUrl == currentUrl
				       ? std::nullopt
				       : std::optional<GraphicsOutput>(o);
	}
	return std::nullopt;
}

int graphicsWidth(long long setting)
{
	return sizeOrDefault(setting, kGraphicsDefaultWidth);
}

int graphicsHeight(long long setting)
{
	return sizeOrDefault(setting, kGraphicsDefaultHeight);
}

QJsonObject graphicsBrowserSettings(const QString &url, int width, int height)
{
	return QJsonObject{
		{QStringLiteral("url"), url},
		{QStringLiteral("width"), width},
		{QStringLiteral("height"), height},
		{QStringLiteral("fps"), 30},
		{QStringLiteral("fps_custom"), true},
		{QStringLiteral("reroute_audio"), false},
		{QStringLiteral("shutdown"), false},
		{QStringLiteral("restart_when_active"), false},
		{QStringLiteral("css"),
		 QStringLiteral("body { background-color: rgba(0, 0, 0, 0); "
				"margin: 0px auto; overflow: hidden; }")},
	};
}

QString graphicsStatusText(bool appReady, bool signedIn,
			   const QString &outputsError, int count,
			   const QString &signInText, const QString &found)
{
	if (!appReady)
		return QString();
	if (!signedIn)
		return signInText;
	if (!outputsError.isEmpty())
		return outputsError;
	QString text = found;
	return text.replace(QStringLiteral("%1"), QString::number(count));
}

} // namespace quillmarch
