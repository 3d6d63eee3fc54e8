#pragma once

#include <QGroupBox>

namespace quillmarch {

// "Quillmarch plugin": which version of the plug-in runs.
class PluginGroup : public QGroupBox {
	Q_OBJECT

public:
	explicit PluginGroup(QWidget *parent = nullptr);
};

} // namespace quillmarch
