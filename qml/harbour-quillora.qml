// Stand-in for the platform user interface: a plain window over ApplicationCore.
import QtQuick 2.6
import com.quillora.applicationcore 1.0

Rectangle {
    id: root
    width: 540
    height: 960
    color: "white"

    ApplicationCore {
        id: core
    }

    // The book being read; a reading session runs while it is set.
    property string openBookId: ""
    // The reading session: its token, the book's chapter ids in reading
    // order, and the page shown.
    property string sessionToken: ""
    property var chapterIds: []
    property string readChapterId: ""
    property int readPageIndex: 0
    property int readPageCount: 0
    // READ_MODE 1: continuous reading, one strip of pages across chapters.
    property bool continuousMode: false

    function reloadLibrary() {
        library.model = core.getNovelList()
    }

    // Opens the book at its saved position (the first chapter when none).
    function openBook(novelId) {
        if (openBookId !== "")
            closeOpenBook()
        openBookId = novelId
        core.startReadingSession(novelId)
        var chapters = core.getChaptersByNovelId(novelId)
        var ids = []
        for (var i = 0; i < chapters.length; ++i)
            ids.push(chapters[i].id)
        chapterIds = ids
        if (ids.length === 0)
            return
        var chapter = ids[0]
        var glyph = 0
        var offset = -1
        var progress = core.getReadProcessByNovelId(novelId)
        if (progress && ids.indexOf(progress.chapterId) >= 0) {
            chapter = progress.chapterId
            glyph = progress.lastPosition
            offset = progress.lastBlockOffset
        }
        readChapterId = chapter
        readPageIndex = 0
        pageImage.source = ""
        continuousMode = core.getAppConfigValue("READ_SETTING_" + novelId, "READ_MODE",
                                                core.getAppConfigValue("READ_SETTING", "READ_MODE", 0)) == 1
        reader.forceActiveFocus()
        sessionToken = core.openBookForReading(novelId, chapter, glyph, offset, 20, 0,
                                               pageArea.width, pageArea.height,
                                               "#202020", "#fdf8ee", "#fdf8ee", false)
    }

    function closeOpenBook() {
        core.closeBook()
        sessionToken = ""
        openBookId = ""
        pageImage.source = ""
    }

    function pageKey(chapterId, pageIndex) {
        return chapterId + ":" + pageIndex
    }

    // Shows a page as soon as it is rendered (poolPageRendered brings it later).
    function showPage(chapterId, pageIndex) {
        readChapterId = chapterId
        readPageIndex = pageIndex
        readPageCount = Math.max(0, core.getChapterPageCount(chapterId))
        pageImage.source = ""
        if (core.isPageReady(chapterId, pageIndex))
            pageImage.source = "image://quillora/" + encodeURIComponent(pageKey(chapterId, pageIndex))
    }

    function turnTo(chapterId, pageIndex) {
        core.poolReportPageTurn(chapterId, pageIndex, sessionToken)
        showPage(chapterId, pageIndex)
        var start = core.getPageStartSource(chapterId, pageIndex)
        core.doReading(openBookId, chapterId, chapterIds.indexOf(chapterId), start.glyphIndex,
                       start.progressIndex, start.blockOffset)
    }

    // Continuous mode: the strip page before or after the one shown, whichever
    // chapter owns it; nothing while it is not laid out yet.
    function scrollPage(step) {
        var key = core.getScrollPageKey(readPageIndex + step)
        var colon = key.lastIndexOf(":")
        if (colon > 0)
            turnTo(key.substring(0, colon), parseInt(key.substring(colon + 1)))
    }

    // Switches the book between paged and continuous reading and reopens it
    // where it is.
    function toggleReadMode() {
        var book = openBookId
        core.setAppConfigValue("READ_SETTING_" + book, "READ_MODE", continuousMode ? 0 : 1)
        openBook(book)
    }

    // Forward (+1) or back (-1) one page, across chapters; a neighbour not
    // laid out yet holds the turn back.
    function turnPage(step) {
        if (sessionToken === "" || pageImage.source == "")
            return
        if (continuousMode) {
            scrollPage(step)
            return
        }
        var count = core.getChapterPageCount(readChapterId)
        if (count < 0)
            return
        var page = readPageIndex + step
        if (page >= 0 && page < count) {
            turnTo(readChapterId, page)
            return
        }
        for (var i = chapterIds.indexOf(readChapterId) + step; i >= 0 && i < chapterIds.length; i += step) {
            var pages = core.getChapterPageCount(chapterIds[i])
            if (pages < 0)
                return
            if (pages > 0) {
                turnTo(chapterIds[i], step > 0 ? 0 : pages - 1)
                return
            }
        }
    }

    Timer {
        interval: 30000
        repeat: true
        running: root.openBookId !== ""
        onTriggered: core.heartbeatReadingSession()
    }

    // Removal runs in the background and reports nothing; look again shortly.
    Timer {
        id: reloadLater
        interval: 500
        onTriggered: root.reloadLibrary()
    }

    // Imports started from this page, oldest first: the id of a book handed
    // over from outside, to open once it is stored, or "" for the import box.
    // Imports run one at a time and each reports one outcome, in this order.
    property var pendingImports: []

    function startImport(path, novelId) {
        pendingImports.push(novelId)
        core.importNovel(path)
    }

    function takeImport() {
        return pendingImports.length > 0 ? pendingImports.shift() : ""
    }

    function clearExternalRequest() {
        core.removeAppConfigKey("BOOK_STATE", "PENDING_OPEN_BOOK")
        core.removeAppConfigKey("BOOK_STATE", "PENDING_IMPORT_PATH")
        core.removeAppConfigKey("BOOK_STATE", "PENDING_IMPORT_NOVELID")
    }

    // A book handed over from outside (command line or file-open event):
    // opened when the library has it, imported first otherwise (no path: an
    // id alone, nothing to import). The request is taken off the settings so
    // a later start does not repeat it.
    function openExternalBook(path, novelId) {
        clearExternalRequest()
        if (novelId === "")
            return
        if (core.getNovelInfo(novelId)) {
            openBook(novelId)
            return
        }
        if (path === "" || pendingImports.indexOf(novelId) >= 0)
            return
        // The import's progress and outcome show on the library page.
        if (openBookId !== "")
            closeOpenBook()
        startImport(path, novelId)
    }

    // A request the core wrote before this page could hear its signal; an
    // import request wins over an open request.
    function takeExternalRequest() {
        var path = String(core.getAppConfigValue("BOOK_STATE", "PENDING_IMPORT_PATH", ""))
        var importId = String(core.getAppConfigValue("BOOK_STATE", "PENDING_IMPORT_NOVELID", ""))
        var openId = String(core.getAppConfigValue("BOOK_STATE", "PENDING_OPEN_BOOK", ""))
        if (path !== "" && importId !== "")
            openExternalBook(path, importId)
        else if (openId !== "")
            openExternalBook("", openId)
        else if (path !== "" || importId !== "")
            clearExternalRequest()
    }

    Component.onCompleted: {
        reloadLibrary()
        // Once the window has its size: the page is laid out for it.
        Qt.callLater(takeExternalRequest)
    }

    Column {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        Text {
            // Every text in this window is plain: book text must never be read as
            // markup, and one rule for all is the one kept.
            textFormat: Text.PlainText
            text: "Quillora"
            font.pixelSize: 32
        }

        Row {
            width: parent.width
            spacing: 8

            // No shelf to count while the library cannot be opened.
            Text {
                objectName: "shelfHeading"
                width: parent.width - resetButton.width - 8
                visible: databaseError.reason === ""
                textFormat: Text.PlainText
                text: library.count === 0 ? "书架为空" : "书架 (" + library.count + ")"
                font.pixelSize: 20
            }

            // Deletes every book, the library and the settings: asked twice,
            // saying what goes; the question lapses after a few seconds and
            // whenever the shelf is left.
            Text {
                id: resetButton
                objectName: "resetButton"
                property bool asked: false
                textFormat: Text.PlainText
                text: asked ? "确认重置：删除所有书籍、阅读进度和设置" : "重置应用"
                font.pixelSize: 18
                color: "darkred"

                Timer {
                    id: resetLapse
                    objectName: "resetLapse"
                    interval: 5000
                    running: resetButton.asked
                    onTriggered: resetButton.asked = false
                }
                Connections {
                    target: root
                    function onOpenBookIdChanged() { resetButton.asked = false }
                }

                MouseArea {
                    anchors.fill: parent
                    onClicked: {
                        if (!resetButton.asked) {
                            resetButton.asked = true
                            return
                        }
                        resetButton.asked = false
                        if (root.openBookId !== "")
                            root.closeOpenBook()
                        core.resetApplication()
                    }
                }
            }
        }

        // The library file could not be opened: nothing below can work.
        Text {
            id: databaseError
            objectName: "databaseError"
            property string reason: core.getDatabaseError()
            visible: reason !== ""
            text: "无法打开书库: " + reason
            textFormat: Text.PlainText
            width: parent.width
            wrapMode: Text.Wrap
            font.pixelSize: 18
            color: "darkred"
        }

        // Import a book by its path.
        Row {
            width: parent.width
            spacing: 8

            Rectangle {
                width: parent.width - importButton.width - 8
                height: importPath.height + 8
                border.color: "gray"

                TextInput {
                    id: importPath
                    objectName: "importPath"
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.verticalCenter: parent.verticalCenter
                    anchors.margins: 4
                    font.pixelSize: 18
                    clip: true
                }
            }

            Text {
                textFormat: Text.PlainText
                id: importButton
                text: "导入"
                font.pixelSize: 18
                color: "darkblue"

                MouseArea {
                    anchors.fill: parent
                    onClicked: {
                        if (importPath.text !== "")
                            root.startImport(importPath.text, "")
                    }
                }
            }
        }

        Text {
            id: importStatus
            objectName: "importStatus"
            width: parent.width
            font.pixelSize: 16
            // A refusal says why and what to do: room for all of it.
            wrapMode: Text.Wrap
            maximumLineCount: 3
            elide: Text.ElideRight
            // Messages name books and files: shown as they are, never as markup.
            textFormat: Text.PlainText
        }

        Connections {
            target: core
            function onNovelImportProgress(message) { importStatus.text = message }
            function onNovelImportSucceeded(message) {
                importStatus.text = message
                root.reloadLibrary()
                var novelId = root.takeImport()
                if (novelId !== "" && core.getNovelInfo(novelId))
                    root.openBook(novelId)
            }
            function onNovelImportFailed(message) {
                importStatus.text = message
                root.takeImport()
            }
            // The window shows the library the next start has: a new, empty one
            // after a reset, the old one when its file could not be deleted.
            function onApplicationResetFinished(success) {
                importStatus.text = success ? "应用已重置，书库已清空" : "重置失败"
                root.reloadLibrary()
            }
            function onExternalFileReady(novelId) { root.openExternalBook("", novelId) }
            function onExternalFileNeedsImport(path, novelId) { root.openExternalBook(path, novelId) }
            function onPoolStartPageLocated(chapterId, pageIndex) { root.showPage(chapterId, pageIndex) }
            // Also when the page is on screen already: rendered again under
            // the same key it has changed (the next chapter's first lines
            // joining a continuous page, say).
            function onPoolPageRendered(chapterId, pageIndex) {
                if (chapterId === root.readChapterId && pageIndex === root.readPageIndex)
                    root.showPage(chapterId, pageIndex)
            }
        }

        ListView {
            id: library
            objectName: "library"
            width: parent.width
            height: parent.height - 180
            clip: true
            delegate: Row {
                width: library.width
                spacing: 8

                Text {
                    width: parent.width - removeButton.width - 8
                    text: (modelData.id === root.openBookId ? "▶ " : "")
                          + modelData.title + " — " + modelData.author
                    // Book text: markup in it is shown, never loaded.
                    textFormat: Text.PlainText
                    font.pixelSize: 18
                    elide: Text.ElideRight

                    MouseArea {
                        anchors.fill: parent
                        onClicked: root.openBook(modelData.id)
                    }
                }

                Text {
                    textFormat: Text.PlainText
                    id: removeButton
                    text: "删除"
                    font.pixelSize: 18
                    color: "darkred"

                    MouseArea {
                        anchors.fill: parent
                        onClicked: {
                            if (modelData.id === root.openBookId)
                                root.closeOpenBook()
                            core.removeNovel([modelData])
                            reloadLater.start()
                        }
                    }
                }
            }
        }
    }

    // The reading page: over the library while a book is open.
    Rectangle {
        id: reader
        objectName: "reader"
        anchors.fill: parent
        visible: root.openBookId !== ""
        color: "#fdf8ee"
        focus: visible

        Keys.onRightPressed: root.turnPage(1)
        Keys.onLeftPressed: root.turnPage(-1)
        Keys.onDownPressed: root.turnPage(1)
        Keys.onUpPressed: root.turnPage(-1)
        Keys.onEscapePressed: root.closeOpenBook()

        Row {
            id: toolbar
            height: 40
            spacing: 16
            anchors.left: parent.left
            anchors.leftMargin: 16

            Text {
                textFormat: Text.PlainText
                text: "返回"
                font.pixelSize: 18
                color: "darkblue"
                anchors.verticalCenter: parent.verticalCenter

                MouseArea {
                    anchors.fill: parent
                    onClicked: root.closeOpenBook()
                }
            }

            Text {
                textFormat: Text.PlainText
                text: root.readChapterId === "" ? ""
                      : "第 " + (root.readPageIndex + 1) + " / " + root.readPageCount + " 页"
                font.pixelSize: 16
                anchors.verticalCenter: parent.verticalCenter
            }

            Text {
                textFormat: Text.PlainText
                objectName: "readModeButton"
                text: root.continuousMode ? "翻页" : "滚动"
                font.pixelSize: 18
                color: "darkblue"
                anchors.verticalCenter: parent.verticalCenter

                MouseArea {
                    anchors.fill: parent
                    onClicked: root.toggleReadMode()
                }
            }
        }

        Item {
            id: pageArea
            anchors.top: toolbar.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: parent.bottom

            Image {
                id: pageImage
                objectName: "pageImage"
                cache: false
                smooth: false
            }

            // Tap the right or left half, or swipe left or right, to turn;
            // in continuous mode swipe up or down, or turn the wheel, to scroll.
            MouseArea {
                anchors.fill: parent
                property real pressX: 0
                property real pressY: 0
                onPressed: {
                    pressX = mouse.x
                    pressY = mouse.y
                }
                onReleased: {
                    var dx = mouse.x - pressX
                    var dy = mouse.y - pressY
                    if (root.continuousMode && Math.abs(dy) > 40 && Math.abs(dy) > Math.abs(dx))
                        root.turnPage(dy < 0 ? 1 : -1)
                    else if (Math.abs(dx) > 40)
                        root.turnPage(dx < 0 ? 1 : -1)
                    else
                        root.turnPage(mouse.x >= width / 2 ? 1 : -1)
                }
                onWheel: {
                    if (root.continuousMode && wheel.angleDelta.y !== 0)
                        root.turnPage(wheel.angleDelta.y < 0 ? 1 : -1)
                }
            }
        }
    }
}
