#include "obs_environment.h"

#include <obs-module.h>

namespace quillmarch {

namespace {

// libobs hands out bmalloc'ed strings; take a copy and free them.
QString takeString(char *s)
{
	if (!s)
		return QString();
	QString out = QString::fromUtf8(s);
	bfree(s);
	return out;
}

} // namespace

QString ObsEnvironment::configPath(const QString &file) const
{
	return takeString(obs_module_get_config_path(
		obs_current_module(), file.toUtf8().constData()));
}

QString ObsEnvironment::moduleFile(const QString &file) const
{
	return takeString(obs_find_module_file(obs_current_module(),
					       file.toUtf8().constData()));
}

QString ObsEnvironment::hostVersion() const
{
	const char *v = obs_get_version_string();
	return v ? QString::fromUtf8(v) : QString();
}

} // namespace quillmarch
