-- session report: example bigquery script
DROP TABLE IF EXISTS tmp_results;

CREATE INDEX idx_orders_customer ON orders (customer_id);

SELECT p.product_id, COALESCE(p.description, 'n/a') AS description, COUNT(*) AS sold
FROM products p LEFT JOIN order_lines l ON l.product_id = p.product_id
GROUP BY p.product_id, p.description;

#standardSQL
SELECT user_id, COUNT(*) AS sessions FROM `proj.analytics.sessions_*`
WHERE _TABLE_SUFFIX BETWEEN '20240101' AND '20240131' GROUP BY user_id;

SELECT SAFE_CAST(amount AS INT64) AS amount FROM `proj.sales.orders`;

SELECT item, pos FROM `proj.ds.t`, UNNEST(items) AS item WITH OFFSET AS pos;

EXPORT DATA OPTIONS (uri = 'gs://bucket/out/*.csv', format = 'CSV') AS
SELECT * FROM `proj.ds.t`;

CREATE TEMP FUNCTION add_one(x FLOAT64)
RETURNS FLOAT64
LANGUAGE js AS r"""
  return x + 1;
""";

SELECT * FROM `proj.ds.events` WHERE _PARTITIONDATE = CURRENT_DATE();

SELECT * EXCEPT (internal_id) FROM `proj.ds.customers`;

