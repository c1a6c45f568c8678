#include "app/main_menus.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QIcon>
#include <QStyle>
#include <QToolBar>

namespace corva::station {

namespace {

QAction* action(QMenu* menu, const QString& name, const QString& caption) {
    QAction* a = menu->addAction(caption);
    a->setObjectName(name);
    return a;
}

QMenu* submenu(QMenu* menu, const QString& name, const QString& caption) {
    QMenu* m = menu->addMenu(caption);
    m->setObjectName(name);
    m->menuAction()->setObjectName(name + "_action");
    return m;
}

QMenu* topMenu(QMenuBar* bar, const QString& name, const QString& caption) {
    QMenu* m = bar->addMenu(caption);
    m->setObjectName(name);
    return m;
}

QMenu* popupMenu(QMainWindow& window, const QString& name) {
    auto* m = new QMenu(&window);  // owned by the window
    m->setObjectName(name);
    return m;
}

}  // namespace

MainMenus MainMenus::build(QMainWindow& window) {
    MainMenus m;
    QMenuBar* bar = window.menuBar();
    QMenu* mnuDatei = topMenu(bar, "mnuDatei", "&File");
    QMenu* mnuImport = submenu(mnuDatei, "mnuImport", "Import");
    m.mnuImportImages = action(mnuImport, "mnuImportImages", "DICOM Image(s) ...");
    m.mnuImportDir = action(mnuImport, "mnuImportDir", "DICOM Dir ...");
    QMenu* mnuFileExport = submenu(mnuDatei, "mnuFileExport", "Export");
    mnuFileExport->menuAction()->setVisible(false);  // export is reached through the toolbar
    m.mnuExportJPEG = action(mnuFileExport, "mnuExportJPEG", "JPEG ...");
    m.mnuExportDICOM = action(mnuFileExport, "mnuExportDICOM", "DICOM ...");
    mnuDatei->addSeparator()->setObjectName("mnuFileTrenn");
    m.mnuDateiBeenden = action(mnuDatei, "mnuDateiBeenden", "E&xit");

    QMenu* mnuBearbeiten = topMenu(bar, "mnuBearbeiten", "&Edit");
    m.mnuApplyTasks = action(mnuBearbeiten, "mnuApplyTasks", "Execute tasks ...");
    m.mnuRefreshList = action(mnuBearbeiten, "mnuRefreshList", "Refresh list");
    mnuBearbeiten->addSeparator()->setObjectName("mnuTrennE");
    m.mnuEditDatabase = action(mnuBearbeiten, "mnuEditDatabase", "DICOM Dictionary ...");

    QMenu* mnuAnsicht = topMenu(bar, "mnuAnsicht", "&View");
    m.mnuAnsichtEinstellungen = action(mnuAnsicht, "mnuAnsichtEinstellungen", "&Options ...");

    QMenu* mnuProtokoll = topMenu(bar, "mnuProtokoll", "Protocols");
    m.mnuProtokollFehler = action(mnuProtokoll, "mnuProtokollFehler", "Errors ...");
    m.mnuProtokollDebug = action(mnuProtokoll, "mnuProtokollDebug", "Debug ...");

    QMenu* mnuInfo = topMenu(bar, "mnuInfo", "?");
    m.mnuFill = action(mnuInfo, "mnuFill", "Fill");
    m.mnuInfoAbout = action(mnuInfo, "mnuInfoAbout", "Abo&ut ...");

    m.Toolbar1 = window.addToolBar("Toolbar1");
    m.Toolbar1->setObjectName("Toolbar1");
    // Texts as captions under the pictures (and as tooltips); pictures from the icon
    // theme, or the style's own where the theme has none.
    m.Toolbar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    QStyle* style = window.style();
    const auto button = [&m, style](const QString& text, const QString& key, const char* themeIcon,
                                    QStyle::StandardPixmap fallback) {
        QAction* a = m.Toolbar1->addAction(text);
        a->setObjectName("Toolbar1_" + key);
        a->setData(key);
        a->setToolTip(text);
        if (themeIcon) a->setIcon(QIcon::fromTheme(themeIcon, style->standardIcon(fallback)));
        return a;
    };
    m.send = button("Send Patient", "send", "mail-send", QStyle::SP_ArrowRight);
    m.exe = button("Execute tasks", "exe", "system-run", QStyle::SP_MediaPlay);
    m.refresh = button("Refresh Patlist", "refresh", "view-refresh", QStyle::SP_BrowserReload);
    m.refreshd = button("Refresh Dosislist", "refreshd", "view-refresh", QStyle::SP_BrowserReload);
    m.reldosis = button("Reload Dosislist", "reldosis", "view-refresh", QStyle::SP_BrowserReload);
    m.Toolbar1->addSeparator();
    m.eJPEG = button("Export JPEG", "eJPEG", "image-x-generic", QStyle::SP_DialogSaveButton);
    m.eDICOM = button("Export DICOM", "eDICOM", "document-save-as", QStyle::SP_DialogSaveButton);
    m.Toolbar1->addSeparator();
    m.deleteDosis = button("Delete Dosislist", "delete", nullptr, QStyle::SP_CustomBase);  // no picture
    m.exit = button("Exit", "exit", "application-exit", QStyle::SP_DialogCloseButton);

    m.PopUpPatient = popupMenu(window, "PopUpPatient");
    m.P_SendTo = submenu(m.PopUpPatient, "P_SendTo", "Send to");
    m.PopUpPatient_Delete = action(m.PopUpPatient, "PopUpPatient_Delete", "Delete Patient");
    m.PopUpPatient->addSeparator();
    m.PopUpPatient_DeleteAll = action(m.PopUpPatient, "PopUpPatient_DeleteAll", "Delete All Patients");

    m.PopUpStudie = popupMenu(window, "PopUpStudie");
    m.PopUpStudie_SeriesWindow = action(m.PopUpStudie, "PopUpStudie_SeriesWindow", "View Series");
    m.PopUpStudie_Laden = action(m.PopUpStudie, "PopUpStudie_Laden", "View Images");
    m.St_SendTo = submenu(m.PopUpStudie, "St_SendTo", "Send to");
    m.PopUpStudie->addSeparator();
    m.PopUpStudie_Delete = action(m.PopUpStudie, "PopUpStudie_Delete", "Delete Images");

    m.PopUpSerie = popupMenu(window, "PopUpSerie");
    m.PopUpSerie_Laden = action(m.PopUpSerie, "PopUpSerie_Laden", "View Images");
    m.Se_SendTo = submenu(m.PopUpSerie, "Se_SendTo", "Send to");
    m.PopUpSerie->addSeparator();
    m.PopUpSerie_Delete = action(m.PopUpSerie, "PopUpSerie_Delete", "Delete Images");

    m.PopUpTaskList = popupMenu(window, "PopUpTaskList");
    m.PopUpTaskListSub_0 = action(m.PopUpTaskList, "PopUpTaskListSub_0", "Clear entries");
    m.PopUpTaskListSub_1 = action(m.PopUpTaskList, "PopUpTaskListSub_1", "Save as ...");
    m.PopUpRules = submenu(m.PopUpTaskList, "PopUpRules", "Add fav. task");
    action(m.PopUpRules, "PopUpRules_0", "No entries");

    m.Popup_Dicom = popupMenu(window, "Popup_Dicom");
    m.PopupDeleteImage = action(m.Popup_Dicom, "PopupDeleteImage", "Delete");
    m.Popup_Dosis = popupMenu(window, "Popup_Dosis");
    m.PopupDeleteDosis = action(m.Popup_Dosis, "PopupDeleteDosis", "Delete");
    return m;
}

}  // namespace corva::station
