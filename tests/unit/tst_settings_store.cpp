#include "base/settings_store.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using quillmarch::LanDevice;
using quillmarch::SettingsStore;

class TestSettingsStore : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void init();
	void defaults_data();
	void defaults();
	void unreadableFilesLoadAsDefaults_data();
	void unreadableFilesLoadAsDefaults();
	void settersPersistAtOnce();
	void lanDevicesAndRoutes();
	void fileIsOwnerOnlyAndAtomic();
	void emptyOrMissingPaths();
	void lastUpdateCheckRoundTripAndOverflow();

private:
	QString path() const { return m_dir->filePath("settings.json"); }
	void writeFile(const QByteArray &bytes)
	{
		QFile f(path());
		QVERIFY(f.open(QIODevice::WriteOnly));
		f.write(bytes);
	}
	QJsonObject readFile() const
	{
		QFile f(path());
		if (!f.open(QIODevice::ReadOnly))
			return {};
		return QJsonDocument::fromJson(f.readAll()).object();
	}
	SettingsStore loaded() const
	{
		SettingsStore s;
		s.setPath(path());
		s.load();
		return s;
	}

	std::unique_ptr<QTemporaryDir> m_dir;
};

void TestSettingsStore::init()
{
	m_dir = std::make_unique<QTemporaryDir>();
	QVERIFY(m_dir->isValid());
}

void TestSettingsStore::defaults_data()
{
	QTest::addColumn<QByteArray>("content"); // empty: no file
	QTest::newRow("no file") << QByteArray();
	QTest::newRow("wrong types") << QByteArray(
		R"({"selected_device": 12, "server_enabled": "yes",
		"server_port": "9100", "server_allow_network": 1,
		"share_connection": null, "auto_check_updates": "false",
		"last_update_check": "1700000000",
		"routes": {"a": 1}, "lan": {"a": "x", "b": {"host": 5}}})");
	QTest::newRow("non-integral port")
		<< QByteArray(R"({"server_port": 9100.5})");
}

void TestSettingsStore::defaults()
{
	QFETCH(QByteArray, content);
	if (!content.isEmpty())
		writeFile(content);
	const SettingsStore s = loaded();
	QCOMPARE(s.selectedDevice(), QString());
	QCOMPARE(s.serverEnabled(), false);
	QCOMPARE(s.serverPort(), 9001);
	QCOMPARE(s.serverAllowNetwork(), false);
	QCOMPARE(s.shareConnection(), true);
	QCOMPARE(s.autoCheckUpdates(), true);
	QCOMPARE(s.lastUpdateCheck(), qint64(0));
	QCOMPARE(s.preferredRoute(QStringLiteral("a")),
		 QStringLiteral("cloud"));
	QCOMPARE(s.lanDevice(QStringLiteral("a")).host, QString());
	QCOMPARE(s.lanDevice(QStringLiteral("b")).host, QString());
	QCOMPARE(QFile::exists(path()), !content.isEmpty());
}

void TestSettingsStore::unreadableFilesLoadAsDefaults_data()
{
	QTest::addColumn<QByteArray>("content");
	QTest::newRow("array") << QByteArray(R"([{"server_enabled": true}])");
	QTest::newRow("truncated") << QByteArray(R"({"server_enabled": tr)");
	QTest::newRow("binary") << QByteArray("\x00\xff\xfe{", 4);
}

void TestSettingsStore::unreadableFilesLoadAsDefaults()
{
	QFETCH(QByteArray, content);
	writeFile(content);
	SettingsStore s = loaded();
	QVERIFY(s.data().isEmpty());
	QCOMPARE(s.serverEnabled(), false);

	// The next setter writes an object with just that setting, but the
	// unreadable original survives beside it.
	s.setServerEnabled(true);
	QCOMPARE(readFile(), QJsonObject({{"server_enabled", true}}));
	QFile copy(s.unreadableCopyPath());
	QVERIFY(copy.open(QIODevice::ReadOnly));
	QCOMPARE(copy.readAll(), content);
	QCOMPARE(copy.permissions() &
			 (QFileDevice::ReadGroup | QFileDevice::ReadOther),
		 QFileDevice::Permissions());
}

void TestSettingsStore::settersPersistAtOnce()
{
	SettingsStore s = loaded();
	s.setSelectedDevice(QStringLiteral("QM-7"));
	s.setServerEnabled(true);
	s.setServerPort(9100);
	s.setServerAllowNetwork(true);
	s.setShareConnection(false);
	s.setAutoCheckUpdates(false);
	s.setLastUsbPort(QStringLiteral("/dev/ttyACM0"));

	const QJsonObject onDisk = readFile();
	QCOMPARE(onDisk.value("last_usb_port").toString(),
		 QStringLiteral("/dev/ttyACM0"));
	QVERIFY(onDisk.value("server_port").isDouble());

	const SettingsStore again = loaded();
	QCOMPARE(again.selectedDevice(), QStringLiteral("QM-7"));
	QCOMPARE(again.serverEnabled(), true);
	QCOMPARE(again.serverPort(), 9100);
	QCOMPARE(again.serverAllowNetwork(), true);
	QCOMPARE(again.shareConnection(), false);
	QCOMPARE(again.autoCheckUpdates(), false);
}

void TestSettingsStore::lanDevicesAndRoutes()
{
	writeFile(R"({"lan": {"QM-2": {"host": "10.0.0.9", "token": "t2",
		"name": "Pool", "extra": 1}}, "custom_key": "kept"})");
	SettingsStore s = loaded();
	s.setLanDevice(QStringLiteral("QM-1"),
		       {QStringLiteral("192.168.1.20"), QStringLiteral("tok"),
			QStringLiteral("Gym")});
	s.setPreferredRoute(QStringLiteral("QM-1"), QStringLiteral("lan"));

	const QJsonObject onDisk = readFile();
	QCOMPARE(onDisk.value("lan").toObject().value("QM-1").toObject(),
		 QJsonObject({{"host", "192.168.1.20"},
			      {"token", "tok"},
			      {"name", "Gym"}}));
	// Other devices and unknown keys are untouched.
	QCOMPARE(onDisk.value("lan").toObject().value("QM-2").toObject().value(
			 "extra"),
		 QJsonValue(1));
	QCOMPARE(onDisk.value("custom_key").toString(), QStringLiteral("kept"));

	const SettingsStore again = loaded();
	QCOMPARE(again.lanDeviceIds(), (QStringList{"QM-1", "QM-2"}));
	QCOMPARE(again.lanDevice(QStringLiteral("QM-2")).name,
		 QStringLiteral("Pool"));
	QCOMPARE(again.preferredRoute(QStringLiteral("QM-1")),
		 QStringLiteral("lan"));
	QCOMPARE(again.preferredRoute(QStringLiteral("QM-2")),
		 QStringLiteral("cloud"));

	// Re-saving a device replaces its object whole: extra members go.
	s.setLanDevice(QStringLiteral("QM-2"), {QStringLiteral("h"), {}, {}});
	QCOMPARE(readFile().value("lan").toObject().value("QM-2").toObject(),
		 QJsonObject({{"host", "h"}, {"token", ""}, {"name", ""}}));
}

void TestSettingsStore::fileIsOwnerOnlyAndAtomic()
{
	writeFile(R"({"server_port": 9100})");
	QVERIFY(QFile::setPermissions(path(), QFileDevice::ReadOwner |
						      QFileDevice::WriteOwner |
						      QFileDevice::ReadOther |
						      QFileDevice::ReadGroup));
	SettingsStore s = loaded();
	s.setLanDevice(QStringLiteral("QM-1"),
		       {QStringLiteral("h"), QStringLiteral("secret"), {}});
	QCOMPARE(QFile::permissions(path()) &
			 ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
		 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
	// No temporary files are left behind.
	QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files),
		 QStringList{"settings.json"});
}

void TestSettingsStore::emptyOrMissingPaths()
{
	// Without a path settings live in memory only.
	SettingsStore s;
	s.load();
	s.setServerEnabled(true);
	QCOMPARE(s.serverEnabled(), true);
	QVERIFY(QDir(m_dir->path()).entryList(QDir::Files).isEmpty());

	// A missing directory is made on the first save.
	s.setPath(m_dir->filePath("a/b/settings.json"));
	s.load();
	s.setServerPort(9002);
	QVERIFY(QFile::exists(m_dir->filePath("a/b/settings.json")));
}

void TestSettingsStore::lastUpdateCheckRoundTripAndOverflow()
{
	SettingsStore s = loaded();
	s.setLastUpdateCheck(1767225600);
	QVERIFY(readFile().value("last_update_check").isDouble());
	QCOMPARE(loaded().lastUpdateCheck(), qint64(1767225600));

	writeFile(R"({"last_update_check": 1767225600.9})");
	QCOMPARE(loaded().lastUpdateCheck(), qint64(1767225600));
	writeFile(R"({"last_update_check": 1e300})");
	QCOMPARE(loaded().lastUpdateCheck(),
		 std::numeric_limits<qint64>::max());
	writeFile(R"({"last_update_check": -1e300})");
	QCOMPARE(loaded().lastUpdateCheck(),
		 std::numeric_limits<qint64>::min());
}

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "tst_settings_store.moc"
