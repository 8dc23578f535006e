list(APPEND PAPERLENS_SOURCES
  converter/container_pool_manager.cc
  converter/convert_run.cc
  converter/converter.cc
  converter/converting_manager.cc
  converter/pdf.cc
  converter/process_owner.cc
  converter/thumbnail.cc
)

paperlens_add_test(converter_test
  SOURCES converter/converter_test.cc
  LIBS paperlens)
paperlens_add_test(container_pool_manager_test APPLIANCE
  SOURCES converter/container_pool_manager_test.cc
  LIBS paperlens testsupport)
paperlens_add_test(container_pool_timeout_test APPLIANCE
  SOURCES converter/container_pool_timeout_test.cc
  LIBS paperlens testsupport
  LABELS slow
  TIMEOUT 400)
paperlens_add_test(pipeline_test APPLIANCE
  SOURCES converter/pipeline_test.cc
  LIBS paperlens testsupport testsupport_documents
  LABELS convert
  TIMEOUT 900)
