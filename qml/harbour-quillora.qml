// Stand-in for the platform user interface: a plain window over ApplicationCore.
import QtQuick 2.6
import com.quillora.applicationcore 1.0

Rectangle {
    id: root
    width: 540
    height: 960
    color: "white"

    ApplicationCore { id: core }

    Text {
        anchors.centerIn: parent
        text: "Quillora"
        font.pixelSize: 32
    }
}
