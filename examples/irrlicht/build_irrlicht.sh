#!/usr/bin/env bash
# Irrlicht 1.8's static library for Windows, built with MinGW-w64 from the
# sources of Debian's package `irrlicht`: the Direct3D 9 driver
# (-DIRR_COMPILE_WITH_DX9_DEV_PACK), the Win32 device, the scene manager, the
# GUI, the MD2 mesh loader and the BMP and TGA image loaders and writers.
# Debian's sources come without the bundled zlib, libpng, libjpeg and bzip2,
# so everything that needs them (ZIP archives, PNG and JPEG images) is left
# out, with OpenGL, Direct3D 8 and the software renderers.
#
#   examples/irrlicht/build_irrlicht.sh SOURCE_DIR ARCH OUT_DIR
#
# SOURCE_DIR is the unpacked source package (include/, source/Irrlicht/),
# ARCH i686 or x86_64. Writes OUT_DIR/libIrrlicht.a and OUT_DIR/include/, and
# OUT_DIR/defines, the preprocessor definitions a program compiled against
# this build must use as well. At most two compilers run at a time.
set -euo pipefail

src=$(cd "$1" && pwd)
arch=$2
out=$3
cxx=$(command -v "$arch-w64-mingw32-g++-win32" || command -v "$arch-w64-mingw32-g++")
ar=$arch-w64-mingw32-ar

# Features off: each NO_ define removes one from IrrCompileConfig.h.
off=(DIRECT3D_8_ OPENGL_ SOFTWARE_ BURNINGSVIDEO_ DIRECTINPUT_JOYSTICK_ JOYSTICK_EVENTS_
     CONSOLE_DEVICE_ LIBJPEG_ LIBPNG_ ZLIB_ BZIP2_ LZMA_ ZIP_ENCRYPTION_ CG_
     IRR_SCENE_LOADER_ B3D_LOADER_ MS3D_LOADER_ X_LOADER_ OGRE_LOADER_ IRR_MESH_LOADER_
     HALFLIFE_LOADER_ MD3_LOADER_ 3DS_LOADER_ COLLADA_LOADER_ CSM_LOADER_ BSP_LOADER_
     DMF_LOADER_ LMTS_LOADER_ MY3D_LOADER_ OBJ_LOADER_ OCT_LOADER_ LWO_LOADER_ STL_LOADER_
     PLY_LOADER_ SMF_LOADER_ IRR_WRITER_ COLLADA_WRITER_ STL_WRITER_ OBJ_WRITER_ PLY_WRITER_
     JPG_LOADER_ PCX_LOADER_ PNG_LOADER_ PPM_LOADER_ PSD_LOADER_ DDS_LOADER_ WAL_LOADER_
     LMP_LOADER_ RGB_LOADER_ JPG_WRITER_ PCX_WRITER_ PNG_WRITER_ PPM_WRITER_ PSD_WRITER_)
defines=(-DIRR_COMPILE_WITH_DX9_DEV_PACK -D_IRR_STATIC_LIB_)
for f in "${off[@]}"; do defines+=("-DNO_IRR_COMPILE_WITH_$f"); done
for f in ZIP PAK NPK TAR WAD; do defines+=("-DNO__IRR_COMPILE_WITH_${f}_ARCHIVE_LOADER_"); done

sources=(
  # scene
  CSkinnedMesh CBoneSceneNode CMeshSceneNode CAnimatedMeshSceneNode CAnimatedMeshMD2
  CMD2MeshFileLoader CBillboardSceneNode CCameraSceneNode CDummyTransformationSceneNode
  CEmptySceneNode CGeometryCreator CLightSceneNode CMeshManipulator CMetaTriangleSelector
  COctreeSceneNode COctreeTriangleSelector CSceneCollisionManager CSceneManager
  CShadowVolumeSceneNode CSkyBoxSceneNode CSkyDomeSceneNode CTerrainSceneNode
  CTerrainTriangleSelector CVolumeLightSceneNode CCubeSceneNode CSphereSceneNode CTextSceneNode
  CTriangleBBSelector CTriangleSelector CWaterSurfaceSceneNode CMeshCache
  CDefaultSceneNodeAnimatorFactory CDefaultSceneNodeFactory CAnimatedMeshMD3 CQ3LevelMesh
  CQuake3ShaderSceneNode CAnimatedMeshHalfLife
  CParticleAnimatedMeshSceneNodeEmitter CParticleBoxEmitter CParticleCylinderEmitter
  CParticleMeshEmitter CParticlePointEmitter CParticleRingEmitter CParticleSphereEmitter
  CParticleAttractionAffector CParticleFadeOutAffector CParticleGravityAffector
  CParticleRotationAffector CParticleSystemSceneNode CParticleScaleAffector
  CSceneNodeAnimatorCameraFPS CSceneNodeAnimatorCameraMaya CSceneNodeAnimatorCollisionResponse
  CSceneNodeAnimatorDelete CSceneNodeAnimatorFlyCircle CSceneNodeAnimatorFlyStraight
  CSceneNodeAnimatorFollowSpline CSceneNodeAnimatorRotation CSceneNodeAnimatorTexture
  # video: the null driver, Direct3D 9, images
  CNullDriver CD3D9Driver CD3D9HLSLMaterialRenderer CD3D9NormalMapRenderer
  CD3D9ParallaxMapRenderer CD3D9ShaderMaterialRenderer CD3D9Texture CVideoModeList CFPSCounter
  CColorConverter CImage CImageLoaderBMP CImageLoaderTGA CImageWriterBMP CImageWriterTGA
  # files, devices, GUI
  CFileList CFileSystem CLimitReadFile CMemoryFile CReadFile CWriteFile CXMLReader CXMLWriter
  CMountPointReader irrXML CAttributes CIrrDeviceStub CIrrDeviceWin32 CLogger COSOperator
  Irrlicht os
  CGUIButton CGUICheckBox CGUIComboBox CGUIContextMenu CGUIEditBox CGUIEnvironment
  CGUIFileOpenDialog CGUIFont CGUIImage CGUIInOutFader CGUIListBox CGUIMenu CGUIMeshViewer
  CGUIMessageBox CGUIModalScreen CGUIScrollBar CGUISpinBox CGUISkin CGUIStaticText
  CGUITabControl CGUITable CGUIToolBar CGUIWindow CGUIColorSelectDialog
  CDefaultGUIElementFactory CGUISpriteBank CGUIImageList CGUITreeView)

mkdir -p "$out/obj" "$out/include"
printf '%s\n' "${defines[@]}" >"$out/defines"
export cxx src out
printf '%s\n' "${sources[@]}" |
  xargs -P 2 -I{} sh -c '"$cxx" -O0 -w -fno-exceptions -fno-rtti -std=gnu++98 \
    -I"$src/include" -I"$src/source/Irrlicht" $(cat "$out/defines") \
    -c "$src/source/Irrlicht/{}.cpp" -o "$out/obj/{}.o"'
rm -f "$out/libIrrlicht.a"
"$ar" rcs "$out/libIrrlicht.a" "$out"/obj/*.o
cp "$src"/include/*.h "$out/include/"
rm -rf "$out/obj"
