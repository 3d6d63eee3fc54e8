#pragma once

#include "manager/panel_base.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QWidget;

namespace quillmarch {

class DeviceSession;

// The device's general settings: the network services it offers, the
// scoreboard controller it reads (picked through a maker, model, sport and
// connection cascade), the radio of a wireless scoreboard input and its
// three outputs. Everything shown comes from one read of the device; a save
// writes all of it back in one call and then reads the device again, so the
// panel shows what the device accepted rather than what was sent.
class SettingsPanel : public PanelBase {
	Q_OBJECT

public:
	struct Timings {
		// The device needs a moment to switch to new settings before
		// it reports them.
		int reloadAfterSaveMs = 2500;
		int callMs = 20000;
	};

	explicit SettingsPanel(DeviceSession *session,
			       QWidget *parent = nullptr);

	void setTimings(const Timings &timings) { m_timings = timings; }

	void refresh() override;

public Q_SLOTS:
	void save();

private:
	enum class Radio { Rm024, Xbee };

	void loadConfig();
	void loadSettings();
	void showSettings();
	void populateModels(bool initial);
	void populateSports(bool initial);
	void populateInputs(bool initial);
	void updateWirelessVisibility();
	Radio radioKind() const;
	bool isWireless() const;
	// Refills `box` with the distinct values of `key` among the controller
	// entries that match every (key, text) pair in `filter`.
	void fill(QComboBox *box, const QString &key,
		  const QList<QPair<QString, QString>> &filter, bool initial);

	Timings m_timings;
	QJsonArray m_controllers;
	QJsonObject m_config;
	QJsonObject m_settings;

	QCheckBox *m_httpEndpoint = nullptr;
	QCheckBox *m_tcpFeed = nullptr;
	QCheckBox *m_testCloudData = nullptr;

	QComboBox *m_maker = nullptr;
	QComboBox *m_model = nullptr;
	QComboBox *m_sport = nullptr;
	QComboBox *m_input = nullptr;

	QGroupBox *m_wirelessInput = nullptr;
	QWidget *m_rm024Block = nullptr;
	QCheckBox *m_autoScan = nullptr;
	QSpinBox *m_group = nullptr;
	QSpinBox *m_channel = nullptr;
	QWidget *m_xbeeBlock = nullptr;
	QLineEdit *m_xbeeChannel = nullptr;
	QLineEdit *m_xbeePanId = nullptr;

	QGroupBox *m_wirelessOutput = nullptr;
	QSpinBox *m_outputNetworkId = nullptr;
	QSpinBox *m_outputChannel = nullptr;
	QGroupBox *m_bridgeOutput = nullptr;
	QLineEdit *m_bridgeHost = nullptr;
	QSpinBox *m_bridgePort = nullptr;
	QGroupBox *m_usbTunnel = nullptr;
	QSpinBox *m_usbTunnelPort = nullptr;

	QPushButton *m_saveButton = nullptr;
};

} // namespace quillmarch
