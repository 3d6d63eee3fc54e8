#pragma once

#include "panel_base.h"

#include "admin/device_session.h"

#include <QList>

class QComboBox;
class QPushButton;

namespace quillmarch {

// The scoreboard the device reads, picked in four narrowing steps: maker,
// model, sport and input type, from the choices the device itself lists.
class ControllerPanel : public PanelBase {
	Q_OBJECT

public:
	explicit ControllerPanel(DeviceSession *session,
				 QWidget *parent = nullptr);

	void refresh() override { load(); }
	void load();
	void save();

Q_SIGNALS:
	void saved();

private:
	// Refills the lists from `from` down, selecting the wanted keys where
	// present.
	void fillMakers(const ControllerChoice &wanted);
	void fillModels(const ControllerChoice &wanted);
	void fillSports(const ControllerChoice &wanted);
	void fillInputs(const ControllerChoice &wanted);

	QList<ControllerChoice> m_choices;
	QComboBox *m_maker;
	QComboBox *m_model;
	QComboBox *m_sport;
	QComboBox *m_input;
	QPushButton *m_save;
};

} // namespace quillmarch
