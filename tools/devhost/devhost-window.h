#pragma once

#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class QAction;
class QComboBox;
class QDockWidget;
class QLabel;
class QPlainTextEdit;
class QTreeWidget;

// What the window tells the user about where things run.
struct DevHostInfo {
	QString serviceOrigin;
	QString simulatorPage; // empty when the dock talks to another service
	QString widgetUrl;
	QString home;
};

// The stand-in for OBS's main window: the module's docks on the right, the current scene of the
// libobs stand-in in the middle, and the host log below. The scene and the log are read from the
// stand-in whenever it reports a change, so whatever the module does to them shows up on its own.
class DevHostWindow : public QMainWindow {
	Q_OBJECT

public:
	explicit DevHostWindow(const DevHostInfo &info, QWidget *parent = nullptr);
	~DevHostWindow() override;

	// The frontend's side of obs_frontend_add_dock_by_id and obs_frontend_remove_dock.
	void attachDock(const QString &id, const QString &title, QWidget *widget);
	void detachDock(const QString &id, QWidget *widget);
	QWidget *dockWidget(const QString &id) const;

	// Scenes of the host. An empty name means that OBS has no current scene.
	void addScene(const QString &name);
	void setCurrentScene(const QString &name);
	QString currentScene() const { return current; }
	void setBrowserMissing(bool missing);
	void setScenesRefuseSources(bool refuse);

	// The rows of the scene view, one per source: name, type and the settings shown.
	QStringList sceneRows() const { return shownRows; }

	// Reads the stand-in now instead of waiting for its next change report.
	void poll();

signals:
	void hostLogLine(int level, const QString &text);

private:
	void buildMenus();
	void buildCentral();
	void renderScene();
	void renderLog();
	void addNextScene();

	DevHostInfo info;
	QStringList scenes;
	QString current;
	QString lastScene; // the scene to go back to when "No current scene" is switched off
	bool refuseSources = false;

	QComboBox *sceneBox = nullptr;
	QTreeWidget *sourceTree = nullptr;
	QPlainTextEdit *hostLog = nullptr;
	QLabel *sceneHint = nullptr;
	QAction *noSceneAction = nullptr;
	QAction *browserMissingAction = nullptr;
	QAction *refuseAction = nullptr;
	QMenu *viewMenu = nullptr;
	QMap<QString, QPointer<QDockWidget>> docks;

	QStringList shownRows;
	qsizetype shownLogEntries = 0;
	QTimer renderTimer;
};
