#pragma once

#include "admin/device_session.h"
#include "admin/rpc_client.h"

#include <QJsonObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

class QLabel;

namespace quillmarch {

// The common ground of the device manager's panels: a weak hold on the
// device session (panels never own it; the device may restart and the
// session go away while a panel is open) and a status line every panel
// places in its own layout.
class PanelBase : public QWidget {
	Q_OBJECT

public:
	explicit PanelBase(DeviceSession *session, QWidget *parent = nullptr);

	// Reloads the panel's data from the device. The base has nothing to
	// load.
	virtual void refresh();

	DeviceSession *session() const { return m_session.data(); }
	QLabel *statusLabel() const { return m_status; }

	// Shows a sentence in the status line, red when it reports a failure.
	void setMessage(const QString &text, bool error = false);

protected:
	// The session, or null with "Not connected to a device." shown.
	DeviceSession *connectedSession();
	// A yes/no question before a step that restarts or changes the
	// device. False for No, and when the panel went away while it was
	// open (the caller must not touch it then).
	bool ask(const QString &title, const QString &text,
		 bool defaultNo = false);

	// One raw device call. The callback runs only while the panel exists;
	// without a session it never runs and the status line says so.
	void call(const QString &method, const QJsonObject &params,
		  std::function<void(const RpcResult &)> callback,
		  int timeoutMs = RpcClient::kDefaultTimeoutMs);

private:
	QPointer<DeviceSession> m_session;
	QLabel *m_status;
};

} // namespace quillmarch
