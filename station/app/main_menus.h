#pragma once
// The main window's menu bar, toolbar and popup menus with their captions and object
// names. The window connects the commands it owns; later features connect theirs
// through these members (never by looking a name up).
class QAction;
class QMainWindow;
class QMenu;
class QToolBar;

namespace corva::station {

struct MainMenus {
    // Menu bar.
    QAction* mnuImportImages = nullptr;
    QAction* mnuImportDir = nullptr;
    QAction* mnuExportJPEG = nullptr;
    QAction* mnuExportDICOM = nullptr;
    QAction* mnuDateiBeenden = nullptr;
    QAction* mnuApplyTasks = nullptr;
    QAction* mnuRefreshList = nullptr;
    QAction* mnuEditDatabase = nullptr;
    QAction* mnuAnsichtEinstellungen = nullptr;
    QAction* mnuProtokollFehler = nullptr;
    QAction* mnuProtokollDebug = nullptr;
    QAction* mnuFill = nullptr;
    QAction* mnuInfoAbout = nullptr;

    // Toolbar1 (object names "Toolbar1_<key>", the key as the action's data).
    QToolBar* Toolbar1 = nullptr;
    QAction* send = nullptr;
    QAction* exe = nullptr;
    QAction* refresh = nullptr;
    QAction* refreshd = nullptr;
    QAction* reldosis = nullptr;
    QAction* eJPEG = nullptr;
    QAction* eDICOM = nullptr;
    QAction* deleteDosis = nullptr;  // key "delete"
    QAction* exit = nullptr;

    // Popup menus, shown only as context menus.
    QMenu* PopUpPatient = nullptr;
    QMenu* P_SendTo = nullptr;
    QAction* PopUpPatient_Delete = nullptr;
    QAction* PopUpPatient_DeleteAll = nullptr;
    QMenu* PopUpStudie = nullptr;
    QAction* PopUpStudie_SeriesWindow = nullptr;
    QAction* PopUpStudie_Laden = nullptr;
    QMenu* St_SendTo = nullptr;
    QAction* PopUpStudie_Delete = nullptr;
    QMenu* PopUpSerie = nullptr;
    QAction* PopUpSerie_Laden = nullptr;
    QMenu* Se_SendTo = nullptr;
    QAction* PopUpSerie_Delete = nullptr;
    QMenu* PopUpTaskList = nullptr;
    QAction* PopUpTaskListSub_0 = nullptr;
    QAction* PopUpTaskListSub_1 = nullptr;
    QMenu* PopUpRules = nullptr;
    QMenu* Popup_Dicom = nullptr;
    QAction* PopupDeleteImage = nullptr;
    QMenu* Popup_Dosis = nullptr;
    QAction* PopupDeleteDosis = nullptr;

    // Builds them all on `window` (the popup menus as its children).
    static MainMenus build(QMainWindow& window);
};

}  // namespace corva::station
