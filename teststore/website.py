"""The web site listener: the downloader's status page, which the connectivity check asks."""

import servers

STATUS_PATH = "/en/downloader/status/"


def status_page(store):
    # A site switched down is unreachable: the connection closes without an answer. A site that
    # answers with an error status is armed as a fault ({"server":"site","status":503}).
    if store.site_up:
        return servers.text(200, "OK")
    return servers.hang_up()


# path -> function(store) returning a servers.Response
ROUTES = {
    STATUS_PATH: status_page,
}


class SiteHandler(servers.StoreHandler):
    def route(self, method, path, query, entry):
        page = ROUTES.get(path)
        if page is None:
            return servers.text(404, "404 Not Found\n")
        return page(self.server.store)
