-- delta maintenance: example databricks script
DELETE FROM staging_orders WHERE batch_id IN (SELECT batch_id FROM batches WHERE state = 'done');

SELECT a.id FROM table_a a
UNION ALL
SELECT b.id FROM table_b b;

UPDATE accounts
SET status = 'closed'
WHERE last_activity < '2020-01-01' AND balance = 0;

-- Databricks notebook source
-- MAGIC %md
-- MAGIC # Daily load

-- COMMAND ----------

CREATE TABLE bronze.events (id BIGINT, payload STRING)
USING DELTA
PARTITIONED BY (id);

OPTIMIZE silver.orders ZORDER BY (customer_id);

VACUUM silver.orders RETAIN 168 HOURS;

SELECT * FROM silver.orders VERSION AS OF 12;

DESCRIBE HISTORY silver.orders;

SET spark.sql.shuffle.partitions = 200;

CREATE OR REFRESH STREAMING TABLE raw_orders AS SELECT * FROM STREAM read_files('/mnt/raw');

