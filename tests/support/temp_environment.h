#pragma once

#include "app_environment.h"

#include <QString>

namespace quillmarch::test {

// Stands in for OBS: the application's files live in a temporary folder and
// it talks to the portal at `portal`.
class TempEnvironment : public AppEnvironment {
public:
	TempEnvironment(QString dir, QString portal)
		: m_dir(std::move(dir)),
		  m_portal(std::move(portal))
	{
	}
	QString configPath(const QString &file) const override
	{
		return m_dir + '/' + file;
	}
	QString moduleFile(const QString &) const override { return {}; }
	QString hostVersion() const override { return "30.2.3"; }
	QString portalBaseUrl() const override { return m_portal; }

private:
	QString m_dir;
	QString m_portal;
};

} // namespace quillmarch::test
