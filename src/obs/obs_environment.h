#pragma once

#include "app_environment.h"

namespace quillmarch {

// The application object's view of the running OBS.
class ObsEnvironment : public AppEnvironment {
public:
	QString configPath(const QString &file) const override;
	QString moduleFile(const QString &file) const override;
	QString hostVersion() const override;
};

} // namespace quillmarch
